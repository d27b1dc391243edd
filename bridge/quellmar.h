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

/* Releases a string returned by the library; NULL does nothing. */
void qm_string_free(char* text);

#ifdef __cplusplus
}
#endif

#endif
