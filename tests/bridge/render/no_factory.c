/* A shared library that loads but is not a renderer module: it has no qm_gl_create. */
int qm_gl_version(void) { return 1; }
