// A minimal test harness for the core: CHECK records a failure with its
// place and carries on; each test is a function registered by TEST.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qmtest {

struct Case {
    const char *name;
    std::function<void()> run;
};
inline std::vector<Case> &cases() {
    static std::vector<Case> all;
    return all;
}
inline int &failures() {
    static int n = 0;
    return n;
}
struct Register {
    Register(const char *name, std::function<void()> run) { cases().push_back({name, run}); }
};

}  // namespace qmtest

#define TEST(name)                                            \
    static void test_##name();                                \
    static qmtest::Register register_##name(#name, test_##name); \
    static void test_##name()

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            ++qmtest::failures();                                                 \
        }                                                                         \
    } while (0)

#define CHECK_EQ_STR(a, b)                                                          \
    do {                                                                            \
        const std::string qm_a_ = (a), qm_b_ = (b);                                 \
        if (qm_a_ != qm_b_) {                                                       \
            std::fprintf(stderr, "%s:%d: \"%s\" != \"%s\"\n", __FILE__, __LINE__,  \
                         qm_a_.c_str(), qm_b_.c_str());                             \
            ++qmtest::failures();                                                   \
        }                                                                           \
    } while (0)
