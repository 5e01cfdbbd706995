// The one exception type for failures the user is meant to see, and the two
// helpers that build its messages.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// A finished, user-facing message. Deliberately not derived from
// std::exception: the catch-all handlers must never mistake a library error
// for something with a text fit to show.
struct Failure {
    std::wstring message;
};

// The error-code suffix "（错误码 N）" appended to a message.
std::wstring WithErrorCode(const std::wstring& message, std::uint32_t code);

// Throws Failure(message + suffix) when `succeeded` is false. GetLastError is
// read before anything else, because building the text may allocate and
// overwrite it.
void CheckSystemCall(bool succeeded, const wchar_t* message);

}  // namespace vantrel
