// Runs every registered core test (or those named on the command line) and
// exits non-zero when any check failed.
#include "check.h"

#include <cstring>

int main(int argc, char **argv) {
    int ran = 0;
    for (const auto &c : qmtest::cases()) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i) wanted |= std::strcmp(argv[i], c.name) == 0;
        if (!wanted) continue;
        const int before = qmtest::failures();
        c.run();
        std::printf("%s %s\n", qmtest::failures() == before ? "ok  " : "FAIL", c.name);
        ++ran;
    }
    std::printf("%d tests, %d failed checks\n", ran, qmtest::failures());
    return ran == 0 || qmtest::failures() ? 1 : 0;
}
