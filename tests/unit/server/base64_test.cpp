#include "server/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Freed {
    void operator()(void* p) const { free(p); }
};

// Decodes `text`; nullopt-like: returns false when the decoder refused it.
bool Decode(const std::string& text, std::string& bytes) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, Freed> out(base64_decode(text.data(), text.size(), &length));
    if (!out) {
        EXPECT_EQ(length, 0u) << "a refused text reports no bytes";
        return false;
    }
    EXPECT_EQ(out.get()[length], 0) << "one zero byte follows the decoded bytes";
    bytes.assign(reinterpret_cast<const char*>(out.get()), length);
    return true;
}

std::string Encode(const std::string& bytes) {
    size_t length = 0;
    std::unique_ptr<char, Freed> out(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
    EXPECT_TRUE(out);
    if (!out) return "";
    EXPECT_EQ(out.get()[length], '\0');
    return std::string(out.get(), length);
}

struct Vector {
    const char* bytes;
    const char* text;
};

// RFC 4648 section 10, plus bytes that use "+" and "/".
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xfb\xff\xbf", "+/+/"},
};

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    for (const Vector& v : kVectors) {
        EXPECT_EQ(Encode(v.bytes), v.text) << v.bytes;
        std::string bytes;
        ASSERT_TRUE(Decode(v.text, bytes)) << v.text;
        EXPECT_EQ(bytes, v.bytes) << v.text;
    }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLengthRemainder) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t n = 0; n <= all.size(); n += 1 + n / 8) {
        const std::string bytes = all.substr(0, n);
        const std::string text = Encode(bytes);
        EXPECT_EQ(text.size(), 4 * ((n + 2) / 3));
        std::string back;
        ASSERT_TRUE(Decode(text, back)) << n;
        EXPECT_EQ(back, bytes) << n;
    }
}

TEST(Base64, RefusesInvalidText) {
    const char* const kInvalid[] = {
        "Z",
        "Zg=",
        "Zm9vY",
        "Zm9vYmFy\n",    // length not a multiple of 4
        "Zm9v\r\n\r\n",  // line breaks are not base64
        "Zm 9",
        "Zm-9",
        "Zm_9",
        "*@!v",  // characters outside the alphabet
        "Z===",
        "====",
        "Zg=a",
        "=Zm9",  // "=" where no padding can be
        "Zg==Zm9v",
        "Zm8=Zm8=",  // padding before the end
        "Zm9\x80",
        "Zm9\xff",  // high bytes
    };
    for (const char* text : kInvalid) {
        std::string bytes;
        EXPECT_FALSE(Decode(text, bytes)) << "[" << text << "]";
    }
    // A zero byte inside the text is not base64 either.
    std::string bytes;
    EXPECT_FALSE(Decode(std::string("Zm\0v", 4), bytes));
}

TEST(Base64, PaddingShortensTheResultByOneBytePerSign) {
    std::string bytes;
    ASSERT_TRUE(Decode("QUJDREVG", bytes));
    EXPECT_EQ(bytes.size(), 6u);
    ASSERT_TRUE(Decode("QUJDREU=", bytes));
    EXPECT_EQ(bytes.size(), 5u);
    ASSERT_TRUE(Decode("QUJDRA==", bytes));
    EXPECT_EQ(bytes.size(), 4u);
}

TEST(Base64, EmptyTextDecodesToNothingWithoutReadingBeforeIt) {
    // The text pointer is the start of an allocation of its own, so a read before it would be
    // caught by AddressSanitizer.
    std::unique_ptr<char[]> empty(new char[1]{'\0'});
    size_t length = 7;
    std::unique_ptr<unsigned char, Freed> out(base64_decode(empty.get(), 0, &length));
    ASSERT_TRUE(out);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out.get()[0], 0);
}

}  // namespace
