// A transport for tests: gets come from a script of bytes and result codes, puts and writes are
// recorded. Single-threaded.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "transport/aStream.h"

struct ScriptedTransport {
    struct Step {
        aErr code;
        uint8_t byte;
    };
    std::deque<Step> script;  // empty script answers `whenEmpty`
    aErr whenEmpty = aErrNotReady;
    std::vector<uint8_t> written;
    std::vector<size_t> writeCalls;  // count of each write call
    size_t putCalls = 0;
    int deletes = 0;

    void bytes(const std::vector<uint8_t>& data) {
        for (uint8_t b : data) script.push_back({aErrNone, b});
    }
    void text(const char* t) {
        while (*t) script.push_back({aErrNone, static_cast<uint8_t>(*t++)});
    }
    void code(aErr c) { script.push_back({c, 0}); }

    static aErr get(uint8_t* byte, void* ref) {
        auto* t = static_cast<ScriptedTransport*>(ref);
        if (t->script.empty()) return t->whenEmpty;
        Step s = t->script.front();
        t->script.pop_front();
        if (s.code == aErrNone) *byte = s.byte;
        return s.code;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        auto* t = static_cast<ScriptedTransport*>(ref);
        ++t->putCalls;
        t->written.push_back(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, size_t count, void* ref) {
        auto* t = static_cast<ScriptedTransport*>(ref);
        t->writeCalls.push_back(count);
        t->written.insert(t->written.end(), bytes, bytes + count);
        return aErrNone;
    }
    static aErr del(void* ref) {
        ++static_cast<ScriptedTransport*>(ref)->deletes;
        return aErrNone;
    }
};
