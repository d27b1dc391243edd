/* Calls qm_initialize as many times as its first argument says and prints each reply on a line:
 * lets tests observe a fresh process, whose driver loader has not run yet. Each further argument
 * names one more call after them, whose answer it prints on a line too: "ui" a UI request,
 * "engine" an engine's creation (its error, or "created"). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quellmar/quellmar.h"

static void printReply(char* reply) {
    printf("%s\n", reply != NULL ? reply : "(null)");
    qm_string_free(reply);
}

int main(int argc, char** argv) {
    int calls = argc > 1 ? atoi(argv[1]) : 1;
    for (int i = 0; i < calls; ++i) printReply(qm_initialize(NULL));
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "ui") == 0) {
            void* ui = qm_ui_create();
            printReply(qm_ui_call(ui, "{\"op\":\"get\"}"));
            qm_ui_destroy(ui);
        } else if (strcmp(argv[i], "engine") == 0) {
            char* error = NULL;
            void* engine = qm_engine_create("{\"resolution\":16}", &error);
            printReply(engine != NULL ? strdup("created") : error);
            qm_engine_destroy(engine);
        }
    }
    return 0;
}
