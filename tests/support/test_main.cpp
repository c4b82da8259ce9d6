// test_main.cpp: the entry of every test program: headless SDL, then GoogleTest.
#include <gtest/gtest.h>

#include <cstdlib>

// Stack traces with every UndefinedBehaviorSanitizer report (sanitized builds only read this).
extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

int main(int argc, char** argv) {
    // Tests never open a real window unless they ask for one; child programs inherit this.
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
