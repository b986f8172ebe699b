#include "System/Net/HttpResponse.h"
#include "System/Net/Url.h"

#include <gtest/gtest.h>

using namespace System::Net;

TEST(UrlTest, PercentEncodingKeepsOnlyUnreservedCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"hello world,x", "hello%20world%2Cx"},  {"AZaz09-._~", "AZaz09-._~"},
        {"a/b?c#d%e", "a%2Fb%3Fc%23d%25e"},      {"\xC3\xA9", "%C3%A9"}, // é as its two UTF-8 bytes
        {std::string("\r\n\0", 3), "%0D%0A%00"}, {"", ""},
    };
    for (const auto& [text, encoded] : cases) {
        EXPECT_EQ(percentEncode(text), encoded) << text;
    }
    EXPECT_EQ(percentEncode("a/b c", "/"), "a/b%20c");
}

TEST(UrlTest, AppendingPathKeepsTheBasePathWithOneSlash) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"https://api.example.test", "v1/ping", "https://api.example.test/v1/ping"},
        {"https://api.example.test/", "v1/ping", "https://api.example.test/v1/ping"},
        {"https://api.example.test/openai/v1", "audio/transcriptions",
         "https://api.example.test/openai/v1/audio/transcriptions"},
        {"https://api.example.test/v1/", "models", "https://api.example.test/v1/models"},
        {"http://127.0.0.1:8080/base", "/a//b/", "http://127.0.0.1:8080/base/a/b"},
        {"https://h.test/v1", "models/" + percentEncode("a/b c"), "https://h.test/v1/models/a%2Fb%20c"},
    };
    for (const auto& [base, path, expected] : cases) {
        EXPECT_EQ(appendingPath(base, path), expected) << base << " + " << path;
    }
    EXPECT_EQ(appendingPath("not a url", "v1"), std::nullopt);
    EXPECT_EQ(appendingPath("/relative/only", "v1"), std::nullopt);
}

TEST(UrlTest, AbsoluteUrlsNeedASchemeAndAHost) {
    EXPECT_TRUE(isAbsoluteURL("https://example.test/download/1.2.dmg"));
    EXPECT_TRUE(isAbsoluteURL("http://127.0.0.1:9/x?y=1"));
    EXPECT_FALSE(isAbsoluteURL("not a url"));
    EXPECT_FALSE(isAbsoluteURL("::::"));
    EXPECT_FALSE(isAbsoluteURL("/just/a/path"));
    EXPECT_FALSE(isAbsoluteURL(""));
    EXPECT_FALSE(isAbsoluteURL(std::string("https://a.test/\0x", 17)));
}

TEST(UrlTest, ReasonPhrasesAreTheStandardOnes) {
    const std::pair<int, std::string> cases[] = {
        {200, "OK"},
        {404, "Not Found"},
        {429, "Too Many Requests"},
        {503, "Service Unavailable"},
        {418, "Client Error"},
        {599, "Server Error"},
        {299, "Success"},
        {999, "Unknown Status"},
    };
    for (const auto& [status, phrase] : cases) {
        EXPECT_EQ(reasonPhrase(status), phrase) << status;
    }
}

TEST(UrlTest, ResolvingAReferenceFollowsTheBaseAsALinkWould) {
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"http://127.0.0.1:81/a/b?q=1", "/c/d?x=2", "http://127.0.0.1:81/c/d?x=2"},
        {"http://127.0.0.1:81/a/b?q=1", "/c/d", "http://127.0.0.1:81/c/d"}, // the base's query goes too
        {"http://127.0.0.1:81/a/b", "c", "http://127.0.0.1:81/a/c"},
        {"http://127.0.0.1:81/a/b", "https://other.test/z", "https://other.test/z"},
        {"http://127.0.0.1:81/a/b", "//other.test/z", "http://other.test/z"},
        {"not a url", "/c", std::nullopt},
    };
    for (const auto& [base, reference, expected] : cases) {
        EXPECT_EQ(resolvingReference(base, reference), expected) << base << " + " << reference;
    }
}
