// How the C++ library reports its own errors in VantrelSetup.exe, and only
// there: this file is linked into the program, not into the folder libraries
// that the test programs share.
//
// The library's inline code (std::wstring, std::vector, std::mutex,
// std::thread) reports a broken precondition or a failed system call through
// the out-of-line std::__throw_* functions. The library's own versions build
// std::logic_error, std::length_error or std::system_error, whose message
// member is a narrow std::string, and one function pulls in the library's
// whole narrow-string and exception-class code with it (about 95 KB of the
// i686 program: on PE the linker keeps every function that a kept object's
// unwind table names, and those objects name all of theirs).
//
// The program never looks inside these exceptions. Every handler catches
// Failure or `...`: the window shows "操作失败，请重试。", the worker reports
// "安装准备失败，请重试。", the entry point its own text. So an exception of
// another type with the same what() text changes nothing anyone sees, and
// these definitions, found before the library is searched, keep the rest of
// it out. The allocation errors keep their standard types, which cost
// nothing extra.
//
// The set is every function of the library's object that defines
// __throw_length_error and its siblings, plus __throw_system_error: if a
// later change needs one that is missing here, the library's object comes
// back and the link fails with a duplicate definition instead of quietly
// growing the program.
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class LibraryError : public std::exception {
public:
    explicit LibraryError(const char* what) noexcept : what_(what) {}
    const char* what() const noexcept override { return what_; }

private:
    const char* what_;  // always a string literal of the library
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw std::bad_exception(); }
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
void __throw_bad_cast() { throw std::bad_cast(); }
void __throw_bad_typeid() { throw std::bad_typeid(); }
void __throw_logic_error(const char* what) { throw LibraryError(what); }
void __throw_domain_error(const char* what) { throw LibraryError(what); }
void __throw_invalid_argument(const char* what) { throw LibraryError(what); }
void __throw_length_error(const char* what) { throw LibraryError(what); }
void __throw_out_of_range(const char* what) { throw LibraryError(what); }
// The format's arguments are left out: nobody reads the text.
void __throw_out_of_range_fmt(const char* format, ...) { throw LibraryError(format); }
void __throw_runtime_error(const char* what) { throw LibraryError(what); }
void __throw_range_error(const char* what) { throw LibraryError(what); }
void __throw_overflow_error(const char* what) { throw LibraryError(what); }
void __throw_underflow_error(const char* what) { throw LibraryError(what); }
// A mutex or a thread that could not be used; the error code is not shown.
void __throw_system_error(int) { throw LibraryError("system error"); }

}  // namespace std
