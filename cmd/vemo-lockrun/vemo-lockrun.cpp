// vemo-lockrun [OPTIONS] PIDFILE PROGRAM [ARGS...]: holds the pid-file lock for a program that
// takes none (see lockrun.h and vemo-lockrun(8)).
#include "lockrun.h"

int main(int argc, char** argv) {
    return lockrun_main(argc, argv);
}
