/* The Python interpreter as a ThreadSanitizer-instrumented program. The sanitizer's runtime cannot be
 * preloaded into the uninstrumented python binary (it crashes before its own start-up runs), but an
 * instrumented executable starts it first. Placed in a venv's bin/, it runs in that venv. */
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
