#include "System/Json/BoundedJson.h"

#include <gtest/gtest.h>

namespace {

std::string nested(std::size_t depth, const std::string& open = "[", const std::string& close = "]") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += open;
    }
    text += "1";
    for (std::size_t i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

TEST(BoundedJsonTest, ParsesDocumentsUpToTheLimitAndRefusesDeeperOnes) {
    EXPECT_EQ(System::Json::depth(System::Json::parse(nested(5), 5)), 5u);
    EXPECT_THROW(System::Json::parse(nested(6), 5), System::Json::JsonError);
    EXPECT_FALSE(System::Json::tryParse(nested(6), 5).has_value());
}

TEST(BoundedJsonTest, AHugelyNestedDocumentIsRefusedWithoutExhaustingTheStack) {
    const std::string text = nested(200'000, "{\"a\":", "}");
    try {
        System::Json::parse(text);
        FAIL() << "a document nested 200,000 levels deep was accepted";
    } catch (const System::Json::JsonError& error) {
        EXPECT_NE(std::string(error.what()).find("nests more than 256 levels"), std::string::npos) << error.what();
    }
}

TEST(BoundedJsonTest, MalformedTextIsAClearError) {
    for (const char* text : {"", "{", "[1,]", "{\"a\" 1}", "nul", "1 2"}) {
        try {
            System::Json::parse(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const System::Json::JsonError& error) {
            EXPECT_NE(std::string(error.what()).find("not valid JSON"), std::string::npos) << error.what();
        }
    }
}

TEST(BoundedJsonTest, KeepsValuesAndTheirKinds) {
    const auto value = System::Json::parse(R"({"a": [1, -2, 3.5, true, null, "x"], "b": {}})");
    EXPECT_EQ(value, nlohmann::json::parse(R"({"a": [1, -2, 3.5, true, null, "x"], "b": {}})"));
    EXPECT_TRUE(value["a"][0].is_number_unsigned());
    EXPECT_TRUE(value["a"][1].is_number_integer());
    EXPECT_TRUE(value["a"][2].is_number_float());
    EXPECT_TRUE(value["a"][3].is_boolean());
    EXPECT_EQ(System::Json::depth(value), 2u);
    EXPECT_EQ(System::Json::depth(nlohmann::json(3)), 0u);
}

} // namespace
