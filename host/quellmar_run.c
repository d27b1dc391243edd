/* A command-line host of libquellmar: creates a headless engine, advances it, prints the final
 * statistics as JSON and the cost per step, and writes the spectrum and fields files and a PNG of
 * the final field when asked. Uses only the public C interface. */
#define _GNU_SOURCE /* dladdr */
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "quellmar/quellmar.h"

/* Steps per advance: the solver's batch, so that a chunk is one batch and one GPU time. */
enum { chunkSteps = 256,
       warmupChunkSteps = 16 };

/* Steps run on the GPU and what they cost. */
struct Cost {
    long steps;
    double wallSeconds;
    double gpuMilliseconds;
};

struct Settings {
    const char* keys[16];
    const char* values[16];
    int quoted[16];
    int count;
    long steps;
    long warmup;
    double warmupSeconds;
    const char* until;
    const char* spectrum;
    const char* fields;
    const char* png;
};

/* Prints the usage to `out` and exits with `status`. */
static void usage(FILE* out, int status) {
    fputs(
        "usage: quellmar-run [--resolution N] [--k0 K] [--seed S] [--reynolds RE] [--cfl C]\n"
        "                    [--integrator imexRK3|ifHeunRK3|etdrk4|CNAB2] [--operator stress|advective]\n"
        "                    [--start-spectrum PAO|KM3] [--fixed-dt DT] [--initial FILE]\n"
        "                    [--warmup N] [--warmup-seconds S] [--steps N] [--until T] [--spectrum FILE]\n"
        "                    [--fields FILE] [--png FILE]\n"
        "       quellmar-run --help\n"
        "The cost per step covers the --steps N, which follow the --warmup N (default 0) and then\n"
        "further warm-up steps until --warmup-seconds S (default 0) have passed. It is measured over\n"
        "the chunks of up to 256 steps in which every step was taken, when there is one: steps after\n"
        "the --until time is reached still run on the GPU, but take no step.\n"
        "--png draws the final vorticity as a 1800 x 1800 picture; it needs an X display.\n",
        out);
    exit(status);
}

static void refuse(void) { usage(stderr, 2); }

/* A step count: decimal digits only, as strict as the other numeric options (strtol alone would
 * take leading blanks and a sign). */
static long count(const char* value) {
    if (*value < '0' || *value > '9') refuse();
    char* end = NULL;
    errno = 0;
    const long steps = strtol(value, &end, 10);
    if (*end != '\0' || errno == ERANGE) refuse();
    return steps;
}

enum { requestBytes = 16384 };

static void tooLong(void) {
    fputs("quellmar-run: the arguments make too long a request\n", stderr);
    exit(2);
}

static void append(char* buffer, const char* text) {
    const size_t used = strlen(buffer);
    if (used + strlen(text) >= requestBytes) tooLong();
    memcpy(buffer + used, text, strlen(text) + 1);
}

/* Appends text to buffer as a JSON string literal. */
static void appendString(char* buffer, const char* text) {
    append(buffer, "\"");
    for (const char* c = text; *c != '\0'; ++c) {
        char escaped[8] = {*c, '\0'};
        if (*c == '"' || *c == '\\')
            snprintf(escaped, sizeof escaped, "\\%c", *c);
        else if ((unsigned char)*c < 0x20)
            snprintf(escaped, sizeof escaped, "\\u%04x", (unsigned char)*c);
        append(buffer, escaped);
    }
    append(buffer, "\"");
}

/* Whether text is one JSON number, so that it can stand in a request as it is. */
static int isNumber(const char* text) {
    const char* c = text;
    if (*c == '-') ++c;
    if (*c == '0') {
        ++c;
    } else if (*c >= '1' && *c <= '9') {
        while (*c >= '0' && *c <= '9') ++c;
    } else {
        return 0;
    }
    if (*c == '.') {
        if (!(*++c >= '0' && *c <= '9')) return 0;
        while (*c >= '0' && *c <= '9') ++c;
    }
    if (*c == 'e' || *c == 'E') {
        ++c;
        if (*c == '+' || *c == '-') ++c;
        if (!(*c >= '0' && *c <= '9')) return 0;
        while (*c >= '0' && *c <= '9') ++c;
    }
    return *c == '\0';
}

static void parse(int argc, char** argv, struct Settings* s) {
    static const struct {
        const char* option;
        const char* key;
        int quoted;
    } keys[] = {{"--resolution", "resolution", 0}, {"--k0", "k0", 0}, {"--seed", "seed", 1}, {"--reynolds", "reynolds", 0}, {"--cfl", "cfl", 0}, {"--integrator", "integrator", 1}, {"--operator", "operator", 1}, {"--start-spectrum", "start_spectrum", 1}, {"--fixed-dt", "fixed_dt", 0}, {"--initial", "initial", 1}};
    for (int i = 1; i < argc; i += 2) {
        if (strcmp(argv[i], "--help") == 0) usage(stdout, 0);
        if (i + 1 >= argc) refuse();
        const char* value = argv[i + 1];
        size_t k = 0;
        while (k < sizeof keys / sizeof keys[0] && strcmp(argv[i], keys[k].option) != 0) ++k;
        if (k < sizeof keys / sizeof keys[0]) {
            if (!keys[k].quoted && !isNumber(value)) refuse();
            /* A repeated option replaces its earlier value, so the request holds each key once. */
            int slot = 0;
            while (slot < s->count && s->keys[slot] != keys[k].key) ++slot;
            if (slot == s->count) ++s->count;
            s->keys[slot] = keys[k].key;
            s->values[slot] = value;
            s->quoted[slot] = keys[k].quoted;
        } else if (strcmp(argv[i], "--steps") == 0) {
            s->steps = count(value);
        } else if (strcmp(argv[i], "--warmup") == 0) {
            s->warmup = count(value);
        } else if (strcmp(argv[i], "--warmup-seconds") == 0) {
            if (!isNumber(value) || *value == '-') refuse();
            s->warmupSeconds = strtod(value, NULL);
        } else if (strcmp(argv[i], "--until") == 0) {
            if (!isNumber(value)) refuse();
            s->until = value;
        } else if (strcmp(argv[i], "--spectrum") == 0) {
            s->spectrum = value;
        } else if (strcmp(argv[i], "--fields") == 0) {
            s->fields = value;
        } else if (strcmp(argv[i], "--png") == 0) {
            s->png = value;
        } else {
            refuse();
        }
    }
}

/* The number after "key": in a reply, or -1 when absent. */
static double number(const char* reply, const char* key) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* at = strstr(reply, pattern);
    return at != NULL ? strtod(at + strlen(pattern), NULL) : -1.0;
}

/* The folder of the loaded libquellmar, where the renderer module lies beside it; empty when the
 * loader cannot tell. */
static void libraryFolder(char* folder, size_t size) {
    Dl_info info;
    folder[0] = '\0';
    if (dladdr((void*)qm_initialize, &info) == 0 || info.dli_fname == NULL) return;
    const char* slash = strrchr(info.dli_fname, '/');
    const size_t length = slash != NULL ? (size_t)(slash - info.dli_fname) : 0;
    if (length >= size) return;
    memcpy(folder, info.dli_fname, length);
    folder[length] = '\0';
}

static double seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* The message of the library's error object {"error":"..."}, decoded in place (it is never
 * longer than its escaped text); NULL when the reply is no error object. The library writes
 * UTF-8 as it is and escapes only quotes, backslashes and control characters. */
static const char* errorMessage(char* reply) {
    static const char prefix[] = "{\"error\":\"";
    if (strncmp(reply, prefix, sizeof prefix - 1) != 0) return NULL;
    const char* in = reply + sizeof prefix - 1;
    char* out = reply;
    while (*in != '"' && *in != '\0') {
        if (*in != '\\') {
            *out++ = *in++;
            continue;
        }
        const char escaped = in[1];
        if (escaped == '\0') break;
        in += 2;
        switch (escaped) {
            case 'b': *out++ = '\b'; break;
            case 'f': *out++ = '\f'; break;
            case 'n': *out++ = '\n'; break;
            case 'r': *out++ = '\r'; break;
            case 't': *out++ = '\t'; break;
            case 'u': {
                char digits[5] = {0};
                strncpy(digits, in, 4);
                *out++ = (char)strtoul(digits, NULL, 16);
                in += strlen(digits);
                break;
            }
            default: *out++ = escaped;
        }
    }
    *out = '\0';
    return reply;
}

/* Exits with the message of a failed initialisation or call, as plain text like every other
 * failure. */
static void exitOnError(char* reply) {
    const char* message = reply != NULL ? errorMessage(reply) : "out of memory";
    if (message == NULL) return;
    fprintf(stderr, "quellmar-run: %s\n", message);
    exit(1);
}

/* Runs one request; exits on an error reply. */
static char* call(void* engine, const char* request) {
    char* reply = qm_engine_call(engine, request);
    exitOnError(reply);
    return reply;
}

/* Advances by `steps` steps, or fewer where the end time comes first; `request` is scratch. */
static char* advance(void* engine, char* request, long steps, const char* until) {
    if (until != NULL)
        snprintf(request, requestBytes, "{\"op\":\"advance\",\"steps\":%ld,\"until\":%s}", steps, until);
    else
        snprintf(request, requestBytes, "{\"op\":\"advance\",\"steps\":%ld}", steps);
    return call(engine, request);
}

int main(int argc, char** argv) {
    struct Settings s = {.steps = -1};
    parse(argc, argv, &s);
    if (s.steps < 0) s.steps = s.until != NULL ? 2147483647L : 100;

    char resources[4096];
    libraryFolder(resources, sizeof resources);
    char* document = qm_initialize(resources);
    exitOnError(document);
    qm_string_free(document);

    static char request[requestBytes];
    strcpy(request, "{");
    for (int i = 0; i < s.count; ++i) {
        if (i > 0) append(request, ",");
        appendString(request, s.keys[i]);
        append(request, ":");
        if (s.quoted[i])
            appendString(request, s.values[i]);
        else
            append(request, s.values[i]);
    }
    append(request, "}");
    char* error = NULL;
    void* engine = qm_engine_create(request, &error);
    if (engine == NULL) {
        fprintf(stderr, "quellmar-run: %s\n", error != NULL ? error : "cannot create the engine");
        qm_string_free(error);
        return 1;
    }

    /* Steps done so far, the warm-up included. */
    long done = 0;
    if (s.warmup > 0) {
        char* reply = advance(engine, request, s.warmup, s.until);
        done = (long)number(reply, "steps");
        qm_string_free(reply);
    }
    /* Warm-up by time, so that clocks and caches settle however long a step takes; an end time
     * reached here ends it. */
    for (const double begin = seconds(); seconds() - begin < s.warmupSeconds;) {
        char* reply = advance(engine, request, warmupChunkSteps, s.until);
        const long steps = (long)number(reply, "steps");
        qm_string_free(reply);
        const long advanced = steps - done;
        done = steps;
        if (advanced < warmupChunkSteps) break;
    }
    const long warmed = done;
    /* Chunks in which every step was taken, and the chunk that reached the end time: its later
     * steps ran but took no step, so it counts only where no whole chunk was run. A call that takes
     * no step at all reports the GPU time of an earlier one, which counts nowhere. */
    struct Cost whole = {0}, last = {0};
    while (done - warmed < s.steps) {
        const long left = s.steps - (done - warmed);
        const long chunk = left < chunkSteps ? left : chunkSteps;
        const double begin = seconds();
        char* reply = advance(engine, request, chunk, s.until);
        const double wall = seconds() - begin;
        const long steps = (long)number(reply, "steps");
        const double gpu = number(reply, "gpu_milliseconds");
        const long advanced = steps - done;
        done = steps;
        qm_string_free(reply);
        if (s.steps > chunkSteps) {
            char* inspected = call(engine, "{\"op\":\"inspect\"}");
            fprintf(stderr, "step %ld  t=%.6g  energy=%.9g  enstrophy=%.9g\n", steps,
                    number(inspected, "simulation_time"), number(inspected, "energy"), number(inspected, "enstrophy"));
            qm_string_free(inspected);
        }
        if (advanced == chunk) {
            whole = (struct Cost){whole.steps + chunk, whole.wallSeconds + wall, whole.gpuMilliseconds + gpu};
            continue;
        }
        if (advanced > 0) last = (struct Cost){chunk, wall, gpu};
        break; /* the end time was reached */
    }
    const struct Cost measuredCost = whole.steps > 0 ? whole : last;

    char* statistics = call(engine, "{\"op\":\"inspect\"}");
    puts(statistics);
    qm_string_free(statistics);
    if (s.spectrum != NULL || s.fields != NULL || s.png != NULL) {
        strcpy(request, "{\"op\":\"export\"");
        if (s.spectrum != NULL) {
            append(request, ",\"spectrum\":");
            appendString(request, s.spectrum);
        }
        if (s.fields != NULL) {
            append(request, ",\"fields\":");
            appendString(request, s.fields);
        }
        if (s.png != NULL) {
            append(request, ",\"png\":");
            appendString(request, s.png);
        }
        append(request, "}");
        qm_string_free(call(engine, request));
    }
    const double perStep = measuredCost.steps > 0 ? 1.0 / (double)measuredCost.steps : 0.0;
    printf("{\"steps_run\":%ld,\"wall_ms_per_step\":%.6g,\"gpu_ms_per_step\":%.6g}\n", done - warmed,
           measuredCost.wallSeconds * 1e3 * perStep, measuredCost.gpuMilliseconds * perStep);
    qm_engine_destroy(engine);
    return 0;
}
