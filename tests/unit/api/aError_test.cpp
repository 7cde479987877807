#include "api/aError.h"

#include <gtest/gtest.h>

#include <string>

TEST(aError, TextAndDescriptionByCode) {
    struct Case {
        aErr code;
        const char* text;
        const char* description;
    } cases[] = {
        {0, "aErrNone", "Success, no error"},
        {2, "aErrParam", "Invalid parameter"},
        {11, "aErrNotReady", "Not ready, no bytes available"},
        {27, "aErrShortCommand", "Halvorine command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
        {0xFFFFFFFFu, "aErrUnknown", "Unknown error"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(aError_GetErrorText(c.code), c.text) << c.code;
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
    }
}

TEST(aError, EveryCodeHasItsOwnName) {
    for (aErr a = 0; a <= aErrUnknown; ++a)
        for (aErr b = a + 1; b <= aErrUnknown; ++b)
            EXPECT_NE(std::string(aError_GetErrorText(a)), aError_GetErrorText(b));
}
