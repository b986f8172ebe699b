// The Whisper engine against a stand-in hub on loopback: model folders of random tiny models written at test
// time, downloads held back at a gate where a test needs the engine caught in the middle of one.

#include "TessarinWhisper/ZodozorEroTranscriber.h"

#include "ZodozorEro/Tests/ZodozorEroTests/Facade/FacadeTesting.h"

#include "System/Concurrency/BlockingRun.h"
#include "System/Log/ErrorDescription.h"
#include "ZodozorEro/Core/ModelVariant.h"
#include "ZodozorEro/Core/ZodozorEro.h"
#include "ZodozorEro/Utilities/ModelUtilities.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using namespace FacadeTesting;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using System::Net::Testing::Gate;
using TessarinCore::AudioClip;
using TessarinCore::DictationLanguage;
using TessarinCore::EnginePreparation;
using TessarinCore::Transcript;
using TessarinCore::TranscriptionConfig;
using TessarinWhisper::ZodozorEroTranscriber;
using TranscriberError = ZodozorEroTranscriber::TranscriberError;
namespace fs = std::filesystem;

// The engine's model name: the stand-in repository's folder is "openai_whisper-" followed by it.
const std::string kModel = "base";
const std::string kTreePath = "/api/models/" + kModelRepo + "/tree/main/" + kModelName;
// The file the gated tests hold back: the last one of the folder, so the others are on disk meanwhile.
const std::string kHeldFile = kModelName + "/TextDecoder.mlmodelc/weights.safetensors";

std::string contentsOf(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

// Every report a prepare call's handler received, from whatever thread it came.
class Reports {
public:
    static std::shared_ptr<Reports> make() { return std::make_shared<Reports>(); }

    static TessarinCore::SpeechTranscribing::ProgressHandler
    handler(const std::shared_ptr<Reports>& reports) {
        return [reports](const EnginePreparation& phase) {
            std::lock_guard lock(reports->mutex_);
            reports->all_.push_back(phase);
            reports->changed_.notify_all();
        };
    }

    std::vector<EnginePreparation> all() const {
        std::lock_guard lock(mutex_);
        return all_;
    }

    // Waits for the reports to satisfy `condition`; false only when they never do (the limit keeps a broken
    // engine from hanging the suite; it is no statement about speed).
    bool waitFor(const std::function<bool(const std::vector<EnginePreparation>&)>& condition) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(2), [&] { return condition(all_); });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<EnginePreparation> all_;
};

const EnginePreparation::Downloading* downloading(const EnginePreparation& phase) {
    return std::get_if<EnginePreparation::Downloading>(&phase.value);
}

bool hasReceivedBytes(const std::vector<EnginePreparation>& reports) {
    return std::any_of(reports.begin(), reports.end(), [](const EnginePreparation& phase) {
        const auto* report = downloading(phase);
        return report && report->bytesReceived.value_or(0) > 0;
    });
}

// A call into the engine on a thread of its own, for tests that act while it waits. It is joined when it goes
// out of scope, after the gate that may hold it is opened.
class Background {
public:
    Background(std::shared_ptr<Gate> gate, std::function<void()> work)
        : gate_(std::move(gate))
        , thread_([this, work = std::move(work)] {
            try {
                work();
            } catch (...) {
                error_ = std::current_exception();
            }
        }) {}
    ~Background() {
        gate_->open();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Waits for the call's end; its error, if any.
    std::exception_ptr join() {
        thread_.join();
        return error_;
    }

private:
    std::shared_ptr<Gate> gate_;
    std::exception_ptr error_;
    std::thread thread_;
};

class ZodozorEroTranscriberTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        repository_ = new TemporaryFolder("engine-repository");
        writeModels(repository_->path() / kModelName);
        tokenizerRepository_ = new TemporaryFolder("engine-tokenizer");
        copyTokenizer(tokenizerRepository_->path());
    }
    static void TearDownTestSuite() {
        delete repository_;
        delete tokenizerRepository_;
    }

    ZodozorEroTranscriberTest() {
        hub().serve(kModelRepo, repository_->path());
        hub().serve(kTokenizerRepo, tokenizerRepository_->path());
    }

    VuzadoDudi::HubTesting::StandInHub& hub() { return online_.hub; }
    std::shared_ptr<ZodozorEroTranscriber> makeEngine() {
        return std::make_shared<ZodozorEroTranscriber>(kModel, models_.path());
    }
    // Where the engine keeps the repository's folders.
    fs::path repositoryFolder() const { return models_ / "models" / kModelRepo; }

    // The hub's tree listing of the model folder, with the files' sizes or without them.
    std::int64_t serveTreeListing(bool withSizes) {
        const fs::path folder = repository_->path() / kModelName;
        nlohmann::json entries = nlohmann::json::array();
        std::int64_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            const std::string path = kModelName + "/" + fs::relative(entry.path(), folder).string();
            if (entry.is_directory()) {
                entries.push_back({{"type", "directory"}, {"path", path}, {"size", 0}});
                continue;
            }
            nlohmann::json file{{"type", "file"}, {"path", path}};
            if (withSizes) {
                file["size"] = entry.file_size();
                total += std::int64_t(entry.file_size());
            }
            entries.push_back(file);
        }
        hub().server().reply("GET", kTreePath, 200, entries.dump());
        return total;
    }

    // Holds every fetch of the file's bytes until the gate opens, then serves them whole.
    std::shared_ptr<Gate> holdBack(const std::string& relativeName) {
        auto gate = std::make_shared<Gate>();
        const fs::path file = repository_->path() / relativeName;
        const auto handler = [gate, file](const httplib::Request&, httplib::Response& response) {
            gate->wait();
            response.status = 200;
            response.set_content(contentsOf(file), "application/octet-stream");
        };
        for (const std::string& revision : {std::string("main"), hub().commit(kModelRepo)}) {
            hub().server().on("GET", "/" + kModelRepo + "/resolve/" + revision + "/" + relativeName, handler);
        }
        return gate;
    }

    // A complete model folder under the engine's models folder, tokenizer included, so nothing is fetched.
    fs::path placeModelOnDisk() {
        const fs::path folder = repositoryFolder() / kModelName;
        fs::create_directories(folder);
        fs::copy(repository_->path() / kModelName, folder, fs::copy_options::recursive);
        copyTokenizer(folder);
        return folder;
    }

    static TemporaryFolder* repository_;
    static TemporaryFolder* tokenizerRepository_;
    OnlineHub online_;
    TemporaryFolder models_{"engine-models"};
};

TemporaryFolder* ZodozorEroTranscriberTest::repository_ = nullptr;
TemporaryFolder* ZodozorEroTranscriberTest::tokenizerRepository_ = nullptr;

template <class Call>
std::optional<TranscriberError> transcriberErrorOf(Call&& call) {
    try {
        call();
    } catch (const TranscriberError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "another error: " << error.what();
    }
    return std::nullopt;
}

// ---- The size query ----

TEST_F(ZodozorEroTranscriberTest, TheRemoteSizeAddsUpTheFileSizesOfAReadableListing) {
    struct Case {
        const char* what;
        int status;
        std::string body;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"files with sizes; folders skipped", 200,
         R"([{"type":"directory","path":"d","size":999},{"type":"file","path":"d/a","size":100},)"
         R"({"type":"file","path":"d/b","size":23,"lfs":{"size":23}}])",
         123},
        {"a file without a size is skipped", 200, R"([{"type":"file","size":7},{"type":"file"}])", 7},
        {"no sizes at all", 200, R"([{"type":"file","path":"a"},{"type":"file","path":"b"}])", std::nullopt},
        {"sizes adding up to nothing", 200, R"([{"type":"file","size":0}])", std::nullopt},
        {"an empty listing", 200, "[]", std::nullopt},
        {"not found", 404, R"({"error":"Repository not found"})", std::nullopt},
        {"a server failure with a good body", 500, R"([{"type":"file","size":5}])", std::nullopt},
        {"malformed JSON", 200, R"([{"type":"file","size":5})", std::nullopt},
        {"not a list", 200, R"({"type":"file","size":5})", std::nullopt},
        {"an entry without a type", 200, R"([{"type":"file","size":5},{"size":5}])", std::nullopt},
        {"a size that is not a whole number", 200, R"([{"type":"file","size":"5"}])", std::nullopt},
        {"sizes beyond a signed 64-bit count", 200,
         R"([{"type":"file","size":9223372036854775807},{"type":"file","size":1}])", std::nullopt},
    };
    for (const auto& testCase : cases) {
        hub().server().reply("GET", kTreePath, testCase.status, testCase.body);
        EXPECT_EQ(blockingRun(ZodozorEroTranscriber::remoteSize(kModel)), testCase.expected) << testCase.what;
    }
    const auto listings = hub().server().requests("GET", kTreePath);
    ASSERT_EQ(listings.size(), std::size(cases));
    EXPECT_EQ(listings.front().target, kTreePath + "?recursive=true");
}

TEST_F(ZodozorEroTranscriberTest, AModelNameThatCannotBePartOfAnAddressHasNoKnownSize) {
    for (const std::string name : {"", "base/../../admin", "base?x=1", "large v3", "base#frag"}) {
        EXPECT_EQ(blockingRun(ZodozorEroTranscriber::remoteSize(name)), std::nullopt) << name;
    }
    EXPECT_TRUE(hub().requests().empty());
}

TEST_F(ZodozorEroTranscriberTest, AnUnreachableHubLeavesTheSizeUnknown) {
    setenv("HUB_ENDPOINT", "http://127.0.0.1:1", 1); // nothing listens there; OnlineHub restores it
    EXPECT_EQ(blockingRun(ZodozorEroTranscriber::remoteSize(kModel)), std::nullopt);
}

// ---- Finding a model on disk ----

TEST(LocalModelFolderTest, TheFirstCompleteFolderEndingWithTheModelIsTakenPreferringTheOpenaiFamily) {
    const auto touchModels = [](const fs::path& folder, std::vector<std::string> names) {
        for (const auto& name : names) {
            fs::create_directories(folder / name);
        }
    };
    const std::vector<std::string> all{"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc",
                                       "TextDecoder.mlmodelc"};
    struct Candidate {
        std::string name;
        std::vector<std::string> models;
    };
    struct Case {
        const char* what;
        std::vector<Candidate> candidates;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"the family prefix goes first",
         {{"distil_whisper-base", all}, {"openai_whisper-base", all}},
         "openai_whisper-base"},
        {"an incomplete folder is skipped",
         {{"openai_whisper-base", {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc"}},
          {"distil_whisper-base", all}},
         "distil_whisper-base"},
        {"each of the three models is needed",
         {{"openai_a-base", {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"}},
          {"openai_b-base", {"MelSpectrogram.mlmodelc", "TextDecoder.mlmodelc"}}},
         std::nullopt},
        {"the name must end with the model",
         {{"openai_whisper-base.en", all}, {"openai_whisper-base_x", all}},
         std::nullopt},
        {"the suffix is matched with its case", {{"openai_whisper-BASE", all}}, std::nullopt},
        {"no folders", {}, std::nullopt},
    };
    for (const auto& testCase : cases) {
        TemporaryFolder models("engine-local");
        const fs::path repository = models / "models" / kModelRepo;
        fs::create_directories(repository);
        for (const auto& candidate : testCase.candidates) {
            touchModels(repository / candidate.name, candidate.models);
        }
        const auto found = ZodozorEroTranscriber::localModelFolder(models.path(), kModel);
        EXPECT_EQ(found, testCase.expected ? std::optional(repository / *testCase.expected) : std::nullopt)
            << testCase.what;
    }
    TemporaryFolder empty("engine-nothing");
    EXPECT_EQ(ZodozorEroTranscriber::localModelFolder(empty / "absent", kModel), std::nullopt);
}

TEST_F(ZodozorEroTranscriberTest, AModelOnDiskIsLoadedWithoutAnyRequestAndAReadyEngineReportsNothing) {
    placeModelOnDisk();
    const auto engine = makeEngine();
    const auto reports = Reports::make();
    blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(reports)));
    EXPECT_EQ(reports->all(), (std::vector{EnginePreparation::optimizing(), EnginePreparation::loading()}));
    EXPECT_TRUE(hub().requests().empty());

    const auto later = Reports::make();
    blockingRun(engine->prepare(DictationLanguage::arabic, Reports::handler(later)));
    EXPECT_TRUE(later->all().empty());
    EXPECT_TRUE(hub().requests().empty());
}

TEST_F(ZodozorEroTranscriberTest, ADamagedModelOnDiskIsReplacedByADownload) {
    const fs::path local = placeModelOnDisk();
    std::ofstream(local / "TextDecoder.mlmodelc" / "model.json", std::ios::trunc) << "{ not a model";
    serveTreeListing(true);
    const auto engine = makeEngine();
    const auto reports = Reports::make();
    blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(reports)));

    const auto all = reports->all();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all.front(), EnginePreparation::optimizing());
    EXPECT_TRUE(downloading(all[1]) || all[1] == EnginePreparation::loading());
    EXPECT_EQ(std::vector(all.end() - 2, all.end()),
              (std::vector{EnginePreparation::optimizing(), EnginePreparation::loading()}));
    EXPECT_GT(hub().fileDownloads(), 0u);
}

// ---- Downloads ----

TEST_F(ZodozorEroTranscriberTest, ADownloadReportsGrowingBytesAndFractionsThatNeverGoBackOrPassOne) {
    for (const bool sizeKnown : {true, false}) {
        SCOPED_TRACE(sizeKnown ? "size known" : "size unknown");
        TemporaryFolder models("engine-download");
        if (sizeKnown) {
            serveTreeListing(true);
        } else {
            hub().server().reply("GET", kTreePath, 404, R"({"error":"no"})");
        }
        const auto gate = holdBack(kHeldFile);
        const auto engine = std::make_shared<ZodozorEroTranscriber>(kModel, models.path());
        const auto reports = Reports::make();
        {
            Background prepare(gate, [&] {
                blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(reports)));
            });
            // Polls while the last file is held back see the others arrive.
            ASSERT_TRUE(reports->waitFor(hasReceivedBytes));
            gate->open();
            const auto error = prepare.join();
            ASSERT_FALSE(error) << System::Log::errorDescription(error);
        }

        const auto all = reports->all();
        ASSERT_GE(all.size(), 4u);
        EXPECT_EQ(all.front(),
                  EnginePreparation::downloading(sizeKnown ? std::optional(0.0) : std::nullopt, 0));
        EXPECT_EQ(std::vector(all.end() - 2, all.end()),
                  (std::vector{EnginePreparation::optimizing(), EnginePreparation::loading()}));
        std::int64_t bytes = 0;
        double fraction = 0;
        for (auto report = all.begin(); report != all.end() - 2; ++report) {
            const auto* download = downloading(*report);
            ASSERT_NE(download, nullptr);
            ASSERT_TRUE(download->bytesReceived.has_value());
            EXPECT_GE(*download->bytesReceived, bytes);
            bytes = *download->bytesReceived;
            EXPECT_EQ(download->fraction.has_value(), sizeKnown);
            if (download->fraction) {
                EXPECT_GE(*download->fraction, fraction);
                EXPECT_LE(*download->fraction, 1.0);
                fraction = *download->fraction;
            }
        }
        EXPECT_GT(bytes, 0);
        EXPECT_TRUE(fs::exists(models / "models" / kModelRepo / kHeldFile));
    }
}

TEST_F(ZodozorEroTranscriberTest, ASecondCallerSharesTheFirstLoadAndTranscriptionsWaitForNoDownload) {
    serveTreeListing(true);
    const auto gate = holdBack(kHeldFile);
    const auto engine = makeEngine();
    const auto first = Reports::make();
    const auto second = Reports::make();
    {
        Background firstCall(
            gate, [&] { blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(first))); });
        ASSERT_TRUE(first->waitFor([](const auto& reports) { return !reports.empty(); }));

        // During the download a transcription is refused at once rather than left waiting for it.
        const auto refused = transcriberErrorOf([&] {
            blockingRun(
                engine->transcribe(AudioClip{std::vector<float>(16000, 0.0f)}, TranscriptionConfig{}));
        });
        ASSERT_TRUE(refused.has_value());
        EXPECT_EQ(refused->errorCase(), TranscriberError::Case::stillPreparing);
        EXPECT_STREQ(refused->what(), "The Whisper model is still downloading or being optimized.");

        // A second caller is told the current phase at once and then follows the same load.
        Background secondCall(
            gate, [&] { blockingRun(engine->prepare(DictationLanguage::arabic, Reports::handler(second))); });
        ASSERT_TRUE(second->waitFor([](const auto& reports) { return !reports.empty(); }));
        EXPECT_NE(downloading(second->all().front()), nullptr);

        gate->open();
        const auto firstError = firstCall.join();
        const auto secondError = secondCall.join();
        ASSERT_FALSE(firstError) << System::Log::errorDescription(firstError);
        ASSERT_FALSE(secondError) << System::Log::errorDescription(secondError);
    }
    for (const auto& reports : {first->all(), second->all()}) {
        ASSERT_GE(reports.size(), 3u);
        EXPECT_EQ(std::vector(reports.end() - 2, reports.end()),
                  (std::vector{EnginePreparation::optimizing(), EnginePreparation::loading()}));
    }
    // One load: one size query, and each file of the folder fetched once.
    EXPECT_EQ(hub().server().requests("GET", kTreePath).size(), 1u);
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(repository_->path() / kModelName)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    const auto modelFetches = [&] {
        std::size_t count = 0;
        for (const auto& request : hub().requests("GET")) {
            count += request.target.find("/" + kModelName + "/") != std::string::npos &&
                             request.target.find("/resolve/") != std::string::npos
                         ? 1
                         : 0;
        }
        return count;
    };
    EXPECT_EQ(modelFetches(), files);

    // Once loaded, neither caller's handler hears of anything again.
    const std::size_t heard = first->all().size() + second->all().size();
    blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(first)));
    EXPECT_EQ(first->all().size() + second->all().size(), heard);
}

TEST_F(ZodozorEroTranscriberTest, AFailedDownloadIsReportedAndTheNextCallStartsAFreshOne) {
    serveTreeListing(true);
    hub().setBehaviour(kModelRepo, kHeldFile, VuzadoDudi::HubTesting::FileBehaviour{.refuseWith = 403});
    const auto engine = makeEngine();
    const auto reports = Reports::make();
    EXPECT_ANY_THROW(blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(reports))));
    const auto failed = reports->all();
    ASSERT_FALSE(failed.empty());
    EXPECT_TRUE(
        std::all_of(failed.begin(), failed.end(), [](const auto& phase) { return downloading(phase); }));

    // A fresh load: the partial folder left behind fails to load and the download runs again.
    hub().setBehaviour(kModelRepo, kHeldFile, VuzadoDudi::HubTesting::FileBehaviour{});
    const auto retry = Reports::make();
    blockingRun(engine->prepare(DictationLanguage::english, Reports::handler(retry)));
    const auto all = retry->all();
    EXPECT_NE(std::find(all.begin(), all.end(), EnginePreparation::downloading(0.0, 0)), all.end());
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(std::vector(all.end() - 2, all.end()),
              (std::vector{EnginePreparation::optimizing(), EnginePreparation::loading()}));
    EXPECT_EQ(hub().server().requests("GET", kTreePath).size(), 2u);
}

TEST_F(ZodozorEroTranscriberTest, TheModelsFolderThatCannotBeMadeFailsThePreparationAndIsTriedAgain) {
    TemporaryFolder parent("engine-blocked");
    const fs::path blocker = parent / "file";
    std::ofstream(blocker) << "not a folder";
    const auto engine = std::make_shared<ZodozorEroTranscriber>(kModel, blocker / "models");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THROW(blockingRun(engine->prepare(DictationLanguage::english)), fs::filesystem_error);
    }
    EXPECT_TRUE(hub().requests().empty());
}

// ---- Transcription ----

// Answers only what the engine asks of a tokenizer: the ids of one text.
class ScriptedTokenizer final : public ZodozorEro::WhisperTokenizer {
public:
    explicit ScriptedTokenizer(std::vector<int> ids)
        : ids_(std::move(ids)) {}
    std::vector<int> encode(const std::string& text) const override {
        encodedTexts.push_back(text);
        if (onEncode) {
            onEncode();
        }
        return ids_;
    }
    std::string decode(const std::vector<int>&) const override { return {}; }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int) const override { return std::nullopt; }
    const ZodozorEro::SpecialTokens& specialTokens() const override { return special_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }
    ZodozorEro::WordTokens splitToWordTokens(const std::vector<int>&) const override { return {}; }

    mutable std::vector<std::string> encodedTexts;
    std::function<void()> onEncode;

private:
    std::vector<int> ids_;
    ZodozorEro::SpecialTokens special_;
    std::unordered_set<int> languages_;
};

TEST(DecodingOptionsTest, TheLanguageDecidesDetectionAndEverythingElseIsFixed) {
    struct Case {
        DictationLanguage language;
        std::optional<std::string> code;
        bool detect;
    };
    for (const auto& [language, code, detect] :
         {Case{DictationLanguage::automatic, std::nullopt, true},
          Case{DictationLanguage::english, "en", false}, Case{DictationLanguage::arabic, "ar", false}}) {
        ZodozorEro::DecodingOptions expected;
        expected.language = code;
        expected.detectLanguage = detect;
        expected.temperatureFallbackCount = 1;
        expected.skipSpecialTokens = true;
        expected.withoutTimestamps = true;
        expected.suppressBlank = true;
        expected.logProbThreshold = std::nullopt;
        expected.firstTokenLogProbThreshold = std::nullopt;
        EXPECT_EQ(ZodozorEroTranscriber::decodingOptions(TranscriptionConfig{.language = language}, nullptr),
                  expected)
            << (code ? *code : "automatic");
    }
}

TEST(DecodingOptionsTest, TheVocabularyPromptBecomesItsOrdinaryTokens) {
    const int special = ZodozorEro::SpecialTokens().specialTokenBegin;
    struct Case {
        const char* what;
        std::optional<std::string> prompt;
        std::vector<int> encoded;
        std::optional<std::vector<int>> expected;
    };
    const Case cases[] = {
        {"no prompt", std::nullopt, {220, 1000}, std::nullopt},
        {"control tokens dropped, order kept",
         "Tessarin, Parlindo",
         {special + 1, 1000, 220, special, 7, special + 100},
         std::vector<int>{1000, 220, 7}},
        {"only control tokens leave an empty list", "<|en|>", {special + 2, special}, std::vector<int>{}},
    };
    for (const auto& testCase : cases) {
        const ScriptedTokenizer tokenizer(testCase.encoded);
        const auto options = ZodozorEroTranscriber::decodingOptions(
            TranscriptionConfig{.language = DictationLanguage::english, .prompt = testCase.prompt},
            &tokenizer);
        EXPECT_EQ(options.promptTokens, testCase.expected) << testCase.what;
        if (testCase.prompt) {
            EXPECT_EQ(tokenizer.encodedTexts, std::vector<std::string>{" " + *testCase.prompt})
                << testCase.what;
        }
    }
    // Without a tokenizer the prompt is left out rather than failing the transcription.
    EXPECT_EQ(ZodozorEroTranscriber::decodingOptions(TranscriptionConfig{.prompt = "Parlindo"}, nullptr)
                  .promptTokens,
              std::nullopt);
}

TEST(TranscriptTest, ResultTextsAreJoinedAsTheyAreWithTheFirstResultsLanguage) {
    const auto result = [](std::string text, std::string language) {
        return std::make_shared<ZodozorEro::TranscriptionResult>(
            std::move(text), std::vector<ZodozorEro::TranscriptionSegment>{}, std::move(language),
            ZodozorEro::TranscriptionTimings());
    };
    const auto engine = TessarinCore::EngineID::zodozorEro;
    EXPECT_EQ(ZodozorEroTranscriber::transcriptOf({result(" One.", "ar"), result(" Two. ", "en")}),
              (Transcript{.text = " One.  Two. ", .languageCode = "ar", .engine = engine}));
    EXPECT_EQ(ZodozorEroTranscriber::transcriptOf({result("Alone", "en")}),
              (Transcript{.text = "Alone", .languageCode = "en", .engine = engine}));
    EXPECT_EQ(ZodozorEroTranscriber::transcriptOf({}),
              (Transcript{.text = "", .languageCode = std::nullopt, .engine = engine}));
}

// An engine over a model on disk whose decoder reads a script: it names German when asked for the language,
// then says " Hello world" after the four prompt tokens of a window without timestamps.
class ScriptedTranscriptionTest : public ZodozorEroTranscriberTest {
protected:
    static constexpr const char* kSpoken = " Hello world";
    // The pipeline trims the text of its one result.
    static constexpr const char* kTranscribed = "Hello world";

    void SetUp() override {
        const auto tokenizer = blockingRun(ZodozorEro::ModelUtilities::loadTokenizer(
            ZodozorEro::ModelVariant::base, tokenizerFolder(), {}, false));
        const auto token = [&](const std::string& name) { return *tokenizer->convertTokenToId(name); };
        const int filler = token("x");
        std::vector<TinyModelGenerator::ScriptStep> script{{{{token("<|de|>"), 0.0f}}, {}},
                                                           TinyModelGenerator::ScriptStep::token(filler),
                                                           TinyModelGenerator::ScriptStep::token(filler)};
        for (const int id : tokenizer->encode(kSpoken)) {
            if (id < tokenizer->specialTokens().specialTokenBegin) {
                script.push_back(TinyModelGenerator::ScriptStep::token(id));
            }
        }
        script.push_back(TinyModelGenerator::ScriptStep::token(tokenizer->specialTokens().endToken));

        const fs::path folder = repositoryFolder() / kModelName;
        TinyModelGenerator::EncoderOptions encoder;
        encoder.width = kWidth;
        encoder.layers = 1;
        encoder.heads = 2;
        TinyModelGenerator::writeFrontEnd(folder, encoder);
        TinyModelGenerator::ScriptedDecoderOptions decoder;
        decoder.vocabularySize = kVocabulary;
        decoder.width = kWidth;
        decoder.cacheChannels = kWidth;
        decoder.script = std::move(script);
        TinyModelGenerator::writeScriptedDecoderModel(folder / "TextDecoder.mlmodelc", decoder);
        copyTokenizer(folder);
    }

    // Longer than the second the pipeline leaves off the end of the audio.
    static AudioClip clip() { return AudioClip{std::vector<float>(3 * 16000, 0.01f)}; }
};

TEST_F(ScriptedTranscriptionTest, AFinishedClipComesBackAsTheDecodersTextInTheLanguageAsked) {
    const auto engine = makeEngine();
    struct Case {
        DictationLanguage language;
        std::string code;
    };
    // Never prepared: the first session loads the model itself.
    for (const auto& [language, code] :
         {Case{DictationLanguage::english, "en"}, Case{DictationLanguage::arabic, "ar"},
          Case{DictationLanguage::automatic, "de"}}) {
        const auto session = blockingRun(engine->beginSession(TranscriptionConfig{.language = language}));
        blockingRun(session->append(TessarinCore::AudioChunk{std::vector<float>(1600, 0.5f)}));
        const Transcript transcript = blockingRun(session->finish(clip()));
        EXPECT_EQ(transcript, (Transcript{.text = kTranscribed,
                                          .languageCode = code,
                                          .engine = TessarinCore::EngineID::zodozorEro}));
        blockingRun(session->cancel());
    }
    EXPECT_TRUE(hub().requests().empty());
}

TEST_F(ScriptedTranscriptionTest, ClipsFinishedAtOnceTakeTurnsOnThePipelineAndEachGetsItsText) {
    const auto engine = makeEngine();
    blockingRun(engine->prepare(DictationLanguage::english));
    const auto opened = std::make_shared<Gate>();
    opened->open();
    std::vector<std::unique_ptr<Background>> calls;
    std::vector<Transcript> transcripts(3);
    for (std::size_t index = 0; index < transcripts.size(); ++index) {
        calls.push_back(std::make_unique<Background>(opened, [&, index] {
            const auto session = blockingRun(
                engine->beginSession(TranscriptionConfig{.language = DictationLanguage::english}));
            transcripts[index] = blockingRun(session->finish(clip()));
        }));
    }
    for (auto& call : calls) {
        const auto error = call->join();
        EXPECT_FALSE(error) << System::Log::errorDescription(error);
    }
    for (const auto& transcript : transcripts) {
        EXPECT_EQ(transcript.text, kTranscribed);
        EXPECT_EQ(transcript.languageCode, "en");
    }
}

TEST_F(ZodozorEroTranscriberTest, AFailedLoadLeavesNoPhaseSoTheNextTranscriptionLoadsAfresh) {
    serveTreeListing(true);
    hub().setBehaviour(kModelRepo, kHeldFile, VuzadoDudi::HubTesting::FileBehaviour{.refuseWith = 500});
    const auto engine = makeEngine();
    EXPECT_ANY_THROW(blockingRun(engine->prepare(DictationLanguage::english)));

    // Not "still preparing": the failure ended the phase, so this call starts a load of its own, which fails
    // the same way.
    const auto session = blockingRun(engine->beginSession(TranscriptionConfig{}));
    try {
        blockingRun(session->finish(AudioClip{std::vector<float>(16000, 0.0f)}));
        ADD_FAILURE() << "the load cannot succeed";
    } catch (const TranscriberError& error) {
        ADD_FAILURE() << error.what();
    } catch (const std::exception&) {
    }
    EXPECT_EQ(hub().server().requests("GET", kTreePath).size(), 2u);
}

// ---- Turns on the pipeline ----

using Facade = ZodozorEro::ZodozorEro;

// What a holding pipeline lets the test see: each transcription stays inside the pipeline until the test
// resumes it.
struct Holds {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<System::Concurrency::Continuation<void>> parked;
    int inside = 0;
    bool overlapped = false;
    int encodes = 0;

    template <class Condition>
    bool waitFor(Condition condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::minutes(2), condition);
    }
    void resume(std::size_t index) {
        std::unique_lock lock(mutex);
        const auto continuation = parked.at(index);
        lock.unlock();
        continuation.resume();
    }
};

// A pipeline with nothing to load whose transcription waits inside until the test lets it go, and tells
// whether another one came in meanwhile.
class HoldingPipeline final : public Facade {
public:
    using Facade::Facade;

    std::shared_ptr<Holds> holds;
    std::shared_ptr<const ::ZodozorEro::WhisperTokenizer> hookedTokenizer;

    System::Concurrency::Task<void> prewarmModels() override { co_return; }
    System::Concurrency::Task<void> loadModels(bool) override {
        setTokenizer(hookedTokenizer);
        co_return;
    }
    using Facade::transcribe;
    System::Concurrency::Task<Results> transcribe(std::vector<float> audioArray,
                                                  std::optional<::ZodozorEro::DecodingOptions>,
                                                  ::ZodozorEro::TranscriptionProgressCallback,
                                                  SegmentDiscoveryCallback) override {
        const auto state = holds;
        {
            std::lock_guard lock(state->mutex);
            state->overlapped = state->overlapped || state->inside > 0;
            ++state->inside;
        }
        co_await System::Concurrency::withContinuation<void>(
            [state](System::Concurrency::Continuation<void> next) {
                std::lock_guard lock(state->mutex);
                state->parked.push_back(std::move(next));
                state->changed.notify_all();
            });
        {
            std::lock_guard lock(state->mutex);
            --state->inside;
        }
        co_return Results{std::make_shared<::ZodozorEro::TranscriptionResult>(
            std::to_string(audioArray.size()) + " samples", std::vector<::ZodozorEro::TranscriptionSegment>{},
            "en", ::ZodozorEro::TranscriptionTimings())};
    }
};

System::Concurrency::Task<std::shared_ptr<Facade>>
makeHoldingPipeline(ZodozorEro::ZodozorEroConfig config, std::shared_ptr<Holds> holds,
                    std::shared_ptr<const ZodozorEro::WhisperTokenizer> tokenizer) {
    auto pipeline = co_await Facade::create<HoldingPipeline>(std::move(config));
    pipeline->holds = std::move(holds);
    pipeline->hookedTokenizer = std::move(tokenizer);
    co_return pipeline;
}

TEST_F(ZodozorEroTranscriberTest, ClipsFinishedTogetherTakeTurnsOnThePipelineInArrivalOrder) {
    for (const char* name : {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"}) {
        fs::create_directories(repositoryFolder() / kModelName / name);
    }
    const auto holds = std::make_shared<Holds>();
    const auto tokenizer = std::make_shared<ScriptedTokenizer>(std::vector<int>{1000});
    tokenizer->onEncode = [holds] {
        std::lock_guard lock(holds->mutex);
        ++holds->encodes;
        holds->changed.notify_all();
    };
    const auto engine = std::make_shared<ZodozorEroTranscriber>(
        kModel, models_.path(), [holds, tokenizer](ZodozorEro::ZodozorEroConfig config) {
            return makeHoldingPipeline(std::move(config), holds, tokenizer);
        });
    blockingRun(engine->prepare(DictationLanguage::english));
    const auto session = blockingRun(
        engine->beginSession(TranscriptionConfig{.language = DictationLanguage::english, .prompt = "x"}));

    const auto open = std::make_shared<Gate>();
    open->open();
    Transcript firstText;
    Transcript secondText;
    Background first(open,
                     [&] { firstText = blockingRun(session->finish(AudioClip{std::vector<float>(100)})); });
    ASSERT_TRUE(holds->waitFor([&] { return holds->parked.size() == 1; }));
    Background second(open,
                      [&] { secondText = blockingRun(session->finish(AudioClip{std::vector<float>(200)})); });
    // The prompt is encoded right before a transcription asks for its turn, on the engine's worker: once the
    // second has been encoded, the worker handles it before it sees the first being let go.
    ASSERT_TRUE(holds->waitFor([&] { return holds->encodes == 2; }));
    holds->resume(0);
    EXPECT_FALSE(first.join());
    ASSERT_TRUE(holds->waitFor([&] { return holds->parked.size() == 2; }));
    holds->resume(1);
    EXPECT_FALSE(second.join());

    EXPECT_FALSE(holds->overlapped);
    EXPECT_EQ(firstText.text, "100 samples");
    EXPECT_EQ(secondText.text, "200 samples");
}

} // namespace
