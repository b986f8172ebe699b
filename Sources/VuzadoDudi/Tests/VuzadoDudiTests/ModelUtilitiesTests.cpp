#include "VuzadoDudi/ModelUtilities.h"

#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

namespace {

using namespace VuzadoDudi;
using System::FileTesting::TemporaryFolder;
using System::ML::FeatureDescription;
using System::ML::FeatureType;
using System::ML::MultiArrayConstraint;
using System::ML::MultiArrayDataType;
namespace fs = std::filesystem;

const char* const kPackageFile = "Data/com.apple.CoreML/model.mlmodel";

void makePackage(const fs::path& package) {
    fs::create_directories((package / kPackageFile).parent_path());
    System::FileTesting::writeFile(package / kPackageFile, "package");
}

TEST(ModelUtilitiesTest, TheCompiledModelWinsOverAPackage) {
    TemporaryFolder folder("model-utilities");
    // Neither: the compiled path, although it does not exist.
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Encoder"), folder / "Encoder.mlmodelc");
    makePackage(folder / "Encoder.mlpackage");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Encoder"),
              folder / "Encoder.mlpackage" / kPackageFile);
    fs::create_directories(folder / "Encoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Encoder"), folder / "Encoder.mlmodelc");
}

TEST(ModelUtilitiesTest, RecursiveDetectionFindsTheModelBelowTheFolder) {
    TemporaryFolder folder("model-utilities");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Decoder", true), folder / "Decoder.mlmodelc");
    fs::create_directories(folder / "a" / "b" / "Decoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Decoder", true),
              folder / "a" / "b" / "Decoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Decoder", false), folder / "Decoder.mlmodelc");
    fs::create_directories(folder / "Decoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path(), "Decoder", true), folder / "Decoder.mlmodelc");
}

TEST(ModelUtilitiesTest, FolderDetectionPrefersCompiledModels) {
    TemporaryFolder folder("model-utilities");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path()), std::nullopt);
    EXPECT_EQ(ModelUtilities::detectModelURL(folder / "absent"), std::nullopt);
    System::FileTesting::writeFile(folder / "notes.txt", "");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path()), std::nullopt);
    makePackage(folder / "A.mlpackage");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path()), folder / "A.mlpackage" / kPackageFile);
    fs::create_directories(folder / "Z.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(folder.path()), folder / "Z.mlmodelc");
}

class DescribedModel final : public System::ML::Model {
public:
    explicit DescribedModel(System::ML::ModelDescription description)
        : Model(std::move(description), {}) {}

private:
    std::map<std::string, System::ML::MultiArray>
    evaluate(const std::map<std::string, System::ML::MultiArray>&) override {
        return {};
    }
};

TEST(ModelUtilitiesTest, ShapesAndDimensionsFromTheDescription) {
    FeatureDescription embeds{"encoder_output_embeds", FeatureType::multiArray,
                              MultiArrayConstraint{{1, 384, 1, 1500}, MultiArrayDataType::float16}};
    FeatureDescription notAnArray{"language", FeatureType::string, std::nullopt};
    FeatureDescription audio{"audio", FeatureType::multiArray,
                             MultiArrayConstraint{{480000}, MultiArrayDataType::float32}};
    const DescribedModel model(
        {{{"audio", audio}}, {{"encoder_output_embeds", embeds}, {"language", notAnArray}}});

    EXPECT_EQ(ModelUtilities::getModelOutputShape(&model, "encoder_output_embeds"),
              (std::vector<int>{1, 384, 1, 1500}));
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "audio"), (std::vector<int>{480000}));
    struct Case {
        const char* name;
        bool output;
        int position;
        std::optional<int> dimension;
    };
    for (const auto& c :
         {Case{"encoder_output_embeds", true, 1, 384}, Case{"encoder_output_embeds", true, 3, 1500},
          Case{"encoder_output_embeds", true, 4, std::nullopt},
          Case{"encoder_output_embeds", true, -1, std::nullopt},
          Case{"encoder_output_embeds", false, 1, std::nullopt}, // it is an output, not an input
          Case{"audio", false, 0, 480000}, Case{"language", true, 0, std::nullopt},
          Case{"missing", true, 0, std::nullopt}}) {
        const auto found = c.output ? ModelUtilities::getModelOutputDimension(&model, c.name, c.position)
                                    : ModelUtilities::getModelInputDimension(&model, c.name, c.position);
        EXPECT_EQ(found, c.dimension) << c.name << " at " << c.position;
    }
    EXPECT_EQ(ModelUtilities::getModelOutputShape(nullptr, "encoder_output_embeds"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputDimension(nullptr, "audio", 0), std::nullopt);
}

} // namespace
