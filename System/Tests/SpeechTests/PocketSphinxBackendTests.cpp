// The real recognizer on Debian's English model, fed with espeak-ng's speech as a microphone delivers it: in
// blocks, with digital silence or a quiet room's noise around it.
#include "System/Speech/PocketSphinxBackend.h"
#include "System/Tests/AudioTesting/SpokenSentence.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace System::Speech;
using System::AudioTesting::wordErrorRate;
namespace fs = std::filesystem;

namespace {

const std::string fox = "the quick brown fox jumps over the lazy dog";

// `sentences` spoken one after another with `pause` seconds of digital silence around each, as 16 kHz
// samples, with a noise floor at `noiseFloor` dBFS over all of it when one is given.
std::vector<float> speech(const fs::path& folder, const std::vector<std::string>& sentences, double pause,
                          std::optional<double> noiseFloor) {
    using namespace System::AudioTesting;
    const auto gap = digitalSilence(std::size_t(pause * 16'000));
    std::vector<std::int16_t> samples = gap;
    for (const auto& sentence : sentences) {
        const auto spoken = spokenSentence(folder, sentence, 16'000, 1);
        samples.insert(samples.end(), spoken.begin(), spoken.end());
        samples.insert(samples.end(), gap.begin(), gap.end());
    }
    if (noiseFloor) {
        addNoiseFloor(samples, *noiseFloor);
    }
    std::vector<float> floats(samples.size());
    std::transform(samples.begin(), samples.end(), floats.begin(), [](auto s) { return float(s) / 32'768.0f; });
    return floats;
}

struct Pass {
    std::string whileSpoken; // the texts that came before the pass ended
    std::string atEnd;       // the texts that the pass's end gave
    std::string all() const { return whileSpoken.empty() ? atEnd : whileSpoken + " " + atEnd; }
};

void append(std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts) {
        text += (text.empty() ? "" : " ") + part;
    }
}

// One pass over `samples`, handed over in 100 ms blocks as a microphone delivers them.
Pass recognize(Recognizer& recognizer, const std::vector<float>& samples) {
    constexpr std::size_t block = 1600;
    Pass pass;
    recognizer.begin();
    for (std::size_t offset = 0; offset < samples.size(); offset += block) {
        const auto count = std::uint32_t(std::min(block, samples.size() - offset));
        auto buffer = System::Audio::AudioPCMBuffer::make({16'000, 1}, count).value();
        std::copy_n(samples.begin() + std::ptrdiff_t(offset), count, buffer.channelData(0));
        buffer.setFrameLength(count);
        append(pass.whileSpoken, recognizer.process(buffer));
    }
    append(pass.atEnd, recognizer.finish());
    return pass;
}

class PocketSphinxBackendTest : public testing::TestWithParam<std::optional<double>> {
protected:
    void SetUp() override {
        ASSERT_FALSE(backend.supportedLocales(ModuleKind::transcription).empty())
            << "no PocketSphinx model installed (scripts/setup installs pocketsphinx-en-us)";
    }
    Locale english() { return backend.supportedLocales(ModuleKind::transcription).front(); }

    PocketSphinxBackend backend;
    System::FileTesting::TemporaryFolder folder{"pocketsphinx-test"};
};

// The first pass of a freshly loaded model used to start from the model's stock normalisation and heard other
// words than later passes; then a whole-pass normalisation over dithered samples heard wrong words on clean
// input every time. Every pass hears the words, and the same speech gives the same text whatever came before.
TEST_P(PocketSphinxBackendTest, EveryPassHearsTheWordsWhatEverCameBefore) {
    const auto sentence = speech(folder.path(), {fox}, 0.3, GetParam());
    const auto other = speech(folder.path(), {"please send the report to the office before noon"}, 0.3, GetParam());

    auto recognizer = backend.makeRecognizer(english());
    const std::string first = recognize(*recognizer, sentence).all();
    const std::string between = recognize(*recognizer, other).all();
    const std::string later = recognize(*recognizer, sentence).all();

    RecordProperty("heard", first + " / " + between);
    EXPECT_LE(wordErrorRate(fox, first), 0.5) << first;
    EXPECT_FALSE(between.empty());
    EXPECT_EQ(first, later);
    // A recognizer handed back and taken again is the same model, with nothing left over from its passes.
    backend.keep(english(), std::move(recognizer));
    EXPECT_EQ(recognize(*backend.makeRecognizer(english()), other).all(), between);
}

// Speech is recognized while it comes: what a pause ended is text before the pass ends, so the end only has
// the speech after the last pause left to finish (here none: the speech ends in a pause).
TEST_P(PocketSphinxBackendTest, SpeechBeforeAPauseIsRecognizedBeforeThePassEnds) {
    const auto samples = speech(folder.path(), {fox, fox, fox}, 0.6, GetParam());
    auto recognizer = backend.makeRecognizer(english());
    const Pass pass = recognize(*recognizer, samples);

    RecordProperty("heard", pass.whileSpoken + " / " + pass.atEnd);
    EXPECT_LE(wordErrorRate(fox + " " + fox + " " + fox, pass.whileSpoken), 0.5) << pass.whileSpoken;
    EXPECT_EQ(pass.atEnd, "");
}

// A pass given up in the middle of an utterance leaves nothing behind for the next one.
TEST_P(PocketSphinxBackendTest, APassGivenUpHalfwayLeavesTheNextOneAsItWouldBe) {
    const auto sentence = speech(folder.path(), {fox}, 0.3, GetParam());
    auto recognizer = backend.makeRecognizer(english());
    const std::string whole = recognize(*recognizer, sentence).all();

    recognizer->begin();
    auto buffer = System::Audio::AudioPCMBuffer::make({16'000, 1}, std::uint32_t(sentence.size())).value();
    std::copy(sentence.begin(), sentence.end(), buffer.channelData(0));
    buffer.setFrameLength(std::uint32_t(sentence.size()));
    recognizer->process(buffer); // no finish(): the dictation was cancelled
    EXPECT_EQ(recognize(*recognizer, sentence).all(), whole);
}

INSTANTIATE_TEST_SUITE_P(Microphones, PocketSphinxBackendTest, testing::Values(std::nullopt, -60.0),
                         [](const auto& info) { return info.param ? "NoiseFloor" : "DigitalSilence"; });

TEST(WordErrorRateTest, CountsTheFewestEditsOverTheReferencesWords) {
    struct Case {
        const char* reference;
        const char* heard;
        double rate;
    };
    const Case cases[] = {
        {"the lazy dog", "the lazy dog", 0.0},      {"the lazy dog", "the dog", 1.0 / 3},
        {"the lazy dog", "a lazy big dog", 2.0 / 3}, {"the lazy dog", "", 1.0},
        {"a b c d", "b c d e", 0.5},                 {"the  lazy\tdog", "the lazy dog", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(wordErrorRate(c.reference, c.heard), c.rate) << c.reference << " / " << c.heard;
    }
}

} // namespace
