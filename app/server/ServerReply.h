// ServerReply: readers of the update server's line-oriented answers.
//
// An answer is text read as lines separated by "\n" (empty lines are skipped, as a tokenizer
// skips runs of separators). It is accepted when its first line begins with "ok"; the lines
// after it carry the request's results. Each reader takes the body as a zero-terminated text
// (reading stops at the first zero byte), never writes to it, and writes an output only for a
// line that is present. The readers keep no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Walks a zero-terminated text token by token like strtok, without modifying it: each call skips
// the separators at the cursor and returns the text up to the next separator (or the end).
class ReplyTokenizer {
  public:
    explicit ReplyTokenizer(const char* text) : rest(text ? text : "") {}
    // The next token, or false when only separators are left.
    bool Next(const char* separators, std::string_view& token);

  private:
    std::string_view rest;
};

namespace ServerReply {

// True when the first line of `body` begins with "ok" (an empty body has no first line).
bool IsOk(const char* body);

// Line 2 into `build`, line 3 (up to "\r" or "\n") into `firmware`.
bool QueryBuild(const char* body, std::string& build, std::string& firmware);

// Line 2 into `payload`, as it is.
bool GetBuild(const char* body, std::string& payload);

// Each later line of at least 3 characters, split at ";", "\r" and "\n", adds its first part ->
// its second part (or an empty text) unless the build is already in `builds`.
bool GetBuildList(const char* body, std::map<std::string, std::string>& builds);

// Line 2 as hexadecimal into `serial`, line 3 as strtoul with base 0 reads it into `build`.
bool GetRecoveryInfo(const char* body, uint32_t& serial, uint32_t& build);

}  // namespace ServerReply
