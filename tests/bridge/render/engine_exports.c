/* A host of its own process: starts the library with the renderer module's folder (the first
 * argument), makes one engine and exports a 64-pixel PNG into each further path in turn, one
 * request after another, printing each reply on a line. The paths hold nothing that JSON
 * escapes. */
#include <stdio.h>

#include "quellmar/quellmar.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    qm_string_free(qm_initialize(argv[1]));
    char* error = NULL;
    void* engine = qm_engine_create("{\"resolution\":16}", &error);
    if (engine == NULL) {
        printf("%s\n", error != NULL ? error : "(no engine)");
        qm_string_free(error);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        char request[4096];
        snprintf(request, sizeof request, "{\"op\":\"export\",\"png\":\"%s\",\"pixel_size\":64}", argv[i]);
        char* reply = qm_engine_call(engine, request);
        printf("%s\n", reply != NULL ? reply : "(null)");
        qm_string_free(reply);
    }
    qm_engine_destroy(engine);
    return 0;
}
