// The real recognizer on Debian's English model, fed with espeak-ng's speech. The words it hears are not
// asserted (they depend on the model and the voice); what one pass gives is compared with what another gives.
#include "System/Speech/PocketSphinxBackend.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace System::Speech;
namespace fs = std::filesystem;

namespace {

// `sentence` as espeak-ng speaks it, as 16 kHz mono float samples.
std::vector<float> speak(const fs::path& folder, const std::string& sentence) {
    const fs::path wav = folder / "speech.wav";
    const fs::path raw = folder / "speech.raw";
    const std::string speak = "espeak-ng -w '" + wav.string() + "' '" + sentence + "'";
    const std::string convert =
        "sox '" + wav.string() + "' -r 16000 -c 1 -e floating-point -b 32 -t raw '" + raw.string() + "'";
    if (std::system(speak.c_str()) != 0 || std::system(convert.c_str()) != 0) {
        throw std::runtime_error("espeak-ng or sox failed (scripts/setup installs them)");
    }
    std::ifstream file(raw, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::copy(bytes.begin(), bytes.begin() + std::ptrdiff_t(samples.size() * sizeof(float)),
              reinterpret_cast<char*>(samples.data()));
    return samples;
}

// One pass over `samples`, handed over in 100 ms blocks as a microphone delivers them.
std::string recognize(Recognizer& recognizer, const std::vector<float>& samples) {
    constexpr std::size_t block = 1600;
    recognizer.begin();
    for (std::size_t offset = 0; offset < samples.size(); offset += block) {
        const auto count = std::uint32_t(std::min(block, samples.size() - offset));
        auto buffer = System::Audio::AudioPCMBuffer::make({16'000, 1}, count).value();
        std::copy_n(samples.begin() + std::ptrdiff_t(offset), count, buffer.channelData(0));
        buffer.setFrameLength(count);
        EXPECT_TRUE(recognizer.process(buffer).empty());
    }
    std::string text;
    for (const auto& part : recognizer.finish()) {
        text += part;
    }
    return text;
}

} // namespace

// The first pass of a freshly loaded model used to start from the model's stock normalisation and came out
// as other words than the same speech gave later.
TEST(PocketSphinxBackendTest, TheFirstPassGivesTheSameTextAsALaterPassOfTheSameSpeech) {
    PocketSphinxBackend backend;
    const auto locales = backend.supportedLocales(ModuleKind::transcription);
    ASSERT_FALSE(locales.empty())
        << "no PocketSphinx model installed (scripts/setup installs pocketsphinx-en-us)";
    System::FileTesting::TemporaryFolder folder("pocketsphinx-test");
    const auto fox = speak(folder.path(), "the quick brown fox jumps over the lazy dog");
    const auto report = speak(folder.path(), "please send the report to the office before noon");

    auto recognizer = backend.makeRecognizer(locales.front());
    const std::string first = recognize(*recognizer, fox);
    const std::string other = recognize(*recognizer, report);
    const std::string third = recognize(*recognizer, fox);

    RecordProperty("heard", first + " / " + other);
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(other.empty());
    EXPECT_EQ(first, third);
    // A recognizer handed back and taken again is the same model, with nothing left over from its passes.
    backend.keep(locales.front(), std::move(recognizer));
    EXPECT_EQ(recognize(*backend.makeRecognizer(locales.front()), report), other);
}
