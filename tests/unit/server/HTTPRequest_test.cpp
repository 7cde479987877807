#include "server/HTTPRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/Log.h"

namespace {

TEST(HTTPRequestURL, NamesInByteOrderEachPairEndedByAmpersandNothingEscaped) {
    struct Case {
        HTTPRequest::Parameters parameters;
        const char* url;
    } const cases[] = {
        {{}, "http://h/cgi/u"},
        {{{"b", "2"}, {"a", "1"}}, "http://h/cgi/u?a=1&b=2&"},
        {{{"op", "x y&z=1"}}, "http://h/cgi/u?op=x y&z=1&"},
        {{{"fp", "00000001%2000000002"}}, "http://h/cgi/u?fp=00000001%2000000002&"},
        {{{"b", ""}, {"B", "up"}, {"_", "u"}}, "http://h/cgi/u?B=up&_=u&b=&"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HTTPRequest::MakeURL("http://h/cgi/u", c.parameters), c.url);
}

TEST(HTTPResponse, CollectsChunksInOrder) {
    HTTPResponse response("http://h/?a=1&");
    EXPECT_EQ(response.get_status(), 0);
    EXPECT_STREQ(response.get_response(), "");
    char one[] = {'o', 'k'};
    char two[] = {'\n', '1', '0', '1'};
    EXPECT_EQ(HTTPRequest::_rcv_data(one, 1, sizeof one, &response), sizeof one);
    EXPECT_EQ(HTTPRequest::_rcv_data(two, 2, 2, &response), 4u);
    EXPECT_STREQ(response.get_response(), "ok\n101");
    EXPECT_STREQ(response.get_request(), "http://h/?a=1&");
}

}  // namespace

TEST(HTTPResponse, RefusesChunksBeyondTheBodyLimit) {
    HTTPRequest::Limits limits;
    limits.maxBodyBytes = 5;
    HTTPRequest::SetLimitsForTesting(limits);
    HTTPResponse response("u");
    char chunk[] = {'a', 'b', 'c'};
    EXPECT_EQ(HTTPRequest::_rcv_data(chunk, 1, 3, &response), 3u);
    EXPECT_EQ(HTTPRequest::_rcv_data(chunk, 1, 3, &response), 0u) << "6 bytes exceed 5";
    EXPECT_EQ(HTTPRequest::_rcv_data(chunk, 1, 2, &response), 2u);
    EXPECT_STREQ(response.get_response(), "abcab");
    HTTPRequest::SetLimitsForTesting(HTTPRequest::Limits());
}
