/* The C interface of libquellmar for host applications: JSON text in, JSON text out. Every
 * string the library returns is allocated with malloc and released with qm_string_free. */
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

/* Releases a string returned by the library; NULL does nothing. */
void qm_string_free(char* text);

#ifdef __cplusplus
}
#endif

#endif
