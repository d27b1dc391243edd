/* A host built against the installed library alone: it initialises libquellmar, runs a small
 * engine for a few steps and prints the statistics. */
#include <stdio.h>
#include <string.h>

#include <quellmar/quellmar.h>

static int failed(const char* reply) { return reply == NULL || strncmp(reply, "{\"error\":", 9) == 0; }

int main(void) {
    char* document = qm_initialize(NULL);
    const int initialised = !failed(document);
    if (!initialised) fprintf(stderr, "%s\n", document != NULL ? document : "no document");
    qm_string_free(document);
    if (!initialised) return 1;

    char* error = NULL;
    void* engine = qm_engine_create("{\"resolution\":16}", &error);
    if (engine == NULL) {
        fprintf(stderr, "%s\n", error != NULL ? error : "no engine");
        qm_string_free(error);
        return 1;
    }
    char* reply = qm_engine_call(engine, "{\"op\":\"advance\",\"steps\":4}");
    const int ok = !failed(reply);
    puts(reply != NULL ? reply : "no reply");
    qm_string_free(reply);
    qm_engine_destroy(engine);
    return ok ? 0 : 1;
}
