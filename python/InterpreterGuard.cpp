// Lets the module load far enough under another interpreter for its version
// guard to refuse it with a clear ImportError. Python 3.13 dropped this
// function, so without a fallback the dynamic loader would refuse the file
// first with "undefined symbol". Under 3.12 the interpreter's own definition
// takes precedence over this weak one; elsewhere the guard fails before
// anything could call it.
#include <Python.h>

extern "C" __attribute__((weak, visibility("default"))) PyThreadState* _PyThreadState_UncheckedGet(void) {
    return nullptr;
}
