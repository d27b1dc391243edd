/* Prints the capability document of libquellmar: which device, runtime and driver it found. */
#include <stdio.h>
#include <string.h>

#include "quellmar/quellmar.h"

int main(int argc, char** argv) {
    char* document = qm_initialize(argc > 1 ? argv[1] : NULL);
    if (document == NULL) {
        fputs("quellmar-info: out of memory\n", stderr);
        return 1;
    }
    puts(document);
    int failed = strncmp(document, "{\"error\":", 9) == 0;
    qm_string_free(document);
    return failed ? 1 : 0;
}
