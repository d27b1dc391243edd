/* The C interface of libquellmar for host applications: JSON text in, JSON text out. Every
 * string the library returns is allocated with malloc and released with qm_string_free.
 * docs/protocol.md describes every request with its keys, every reply and the error texts. */
#ifndef QUELLMAR_H
#define QUELLMAR_H

#ifdef __cplusplus
extern "C" {
#endif

/* Brings up the CUDA side and answers the capability document (or {"error": ...}). Call it
 * first, on the thread that will make every UI call. resources: the folder of
 * libquellmar_gl.so; NULL means an empty path. Returns NULL only when the reply cannot be
 * allocated. */
char* qm_initialize(const char* resources);

/* Creates a headless engine, one solver, from a JSON configuration ("resolution", "k0",
 * "seed", "reynolds", "cfl", "integrator", "operator", "start_spectrum", "fixed_dt",
 * "initial"). Returns NULL on failure; then *error, when error is not NULL, holds the message
 * as plain text. */
void* qm_engine_create(const char* request, char** error);

/* Runs one request ({"op": "inspect" | "advance" | "set" | "reset" | "export", ...}) on an
 * engine and answers its reply or {"error": ...}. Calls on one engine are serialised; different
 * engines run in parallel. */
char* qm_engine_call(void* engine, const char* request);

/* Destroys an engine; NULL does nothing. No call on it may be running. */
void qm_engine_destroy(void* engine);

/* The interactive UI. Every qm_ui_ function must be called on the thread that called
 * qm_initialize; on any other thread create answers NULL, attach and call answer
 * {"error":"UI calls require the main thread."} and destroy does nothing. */

/* A new UI handle with the default run options, or NULL. Starts nothing. */
void* qm_ui_create(void);

/* Draws the handle into the X11 window x11Parent from a render thread of its own; answers {}
 * or {"error": ...}. A handle is attached once. */
char* qm_ui_attach(void* ui, unsigned long x11Parent);

/* Runs one request ({"op": "get" | "flush" | "start" | "toggle" | "running" | "step" | "reset"
 * | "seed" | "visible" | "dismiss" | "configure" | "set" | "benchmark" | "export" | "save", ...})
 * and answers the status report or {"error": ...}. */
char* qm_ui_call(void* ui, const char* request);

/* Stops the render and controller threads and frees the handle; NULL does nothing. */
void qm_ui_destroy(void* ui);

/* Releases a string returned by the library; NULL does nothing. */
void qm_string_free(char* text);

#ifdef __cplusplus
}
#endif

#endif
