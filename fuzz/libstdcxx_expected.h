// Force-included into the fuzz build. GCC 12's standard library offers
// std::expected only when the compiler announces C++20 concepts at level
// 202002; clang before 17 announces 201907 although it handles what the
// header uses. Without this the fuzz build (clang + libFuzzer) could not
// compile the stand-ins, which report errors through std::expected.
#if defined(__clang__) && __clang_major__ < 17 && defined(__cpp_concepts) && \
    __cpp_concepts < 202002L
#undef __cpp_concepts
#define __cpp_concepts 202002L
#endif
