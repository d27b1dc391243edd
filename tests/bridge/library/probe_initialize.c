/* Calls qm_initialize as many times as its argument says and prints each reply on a line:
 * lets tests observe a fresh process, whose driver loader has not run yet. */
#include <stdio.h>
#include <stdlib.h>

#include "quellmar/quellmar.h"

int main(int argc, char** argv) {
    int calls = argc > 1 ? atoi(argv[1]) : 1;
    for (int i = 0; i < calls; ++i) {
        char* reply = qm_initialize(NULL);
        printf("%s\n", reply != NULL ? reply : "(null)");
        qm_string_free(reply);
    }
    return 0;
}
