// For clang-tidy only. clang-tidy 14 parses with clang 14, which lacks
// __builtin_source_location; libstdc++'s <source_location> then declares
// nothing, and gridflip.cpp does not parse. .ci/lint force-includes this
// header so the analysis sees the same interface, filled from clang's
// __builtin_FILE and __builtin_LINE. current() is constexpr, not consteval:
// clang 14 rejects a consteval call in a default argument. The compilers
// that build the programs never see this header.
#pragma once

#if defined(__clang__) && !__has_builtin(__builtin_source_location)
namespace std {
struct source_location {
    static constexpr source_location current(const char *file = __builtin_FILE(),
                                             const char *function = __builtin_FUNCTION(),
                                             unsigned line = __builtin_LINE(),
                                             unsigned column = __builtin_COLUMN()) noexcept {
        source_location here;
        here.file_ = file;
        here.function_ = function;
        here.line_ = line;
        here.column_ = column;
        return here;
    }
    constexpr const char *file_name() const noexcept { return file_; }
    constexpr const char *function_name() const noexcept { return function_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }

  private:
    const char *file_ = "";
    const char *function_ = "";
    unsigned line_ = 0;
    unsigned column_ = 0;
};
}  // namespace std
#endif
