# The loader's 60-second fuzz run as a test labelled fuzz. scripts/fuzz builds the target with
# clang in build/fuzz, apart from this build, since libFuzzer needs clang.
add_test(NAME loader_fuzz COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz 60)
set_tests_properties(loader_fuzz PROPERTIES LABELS fuzz TIMEOUT 600)
