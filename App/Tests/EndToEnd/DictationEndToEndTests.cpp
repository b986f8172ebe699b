// One dictation through the real program. Runs inside scripts/testenv/with-xvfb and with-pulseaudio: a
// private X server (no window manager: the test gives the focus itself and names the active window) and a
// sound server whose microphone is a pipe. The cloud service is a loopback stand-in that answers every
// transcription with a fixed text. The test starts `parlindo` with the cloud engine for the right Option
// key's language, focuses a small text field of its own, holds the key through XTest while espeak-ng's speech
// plays into the pipe, releases it, and expects the service's text in the field, the overlay shown and gone,
// and the result line.
#include "System/LoginItem/AutostartLoginItem.h"
#include "System/Paths/Files.h"
#include "System/Tests/AudioTesting/SpokenSentence.h"
#include "System/Tests/NetTesting/LoopbackServer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Xlib last: its macros (None, Bool, Status …) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string serviceText = "Hello from the loopback cloud";

// How long each step may take: far more than an idle machine needs, because a busy one (a sanitizer build
// among many tests) is many times slower. Only a step that never comes runs out of it.
constexpr auto patience = 120s;

// Runs the Qt event loop of the test's own window until `done` holds; false after `limit`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The program under test, with its standard output and error collected as they come.
class Program {
public:
    Program(const std::string& path, const std::vector<std::string>& environment)
        : Program(std::vector<std::string>{path}, environment) {}
    // `arguments` start with the program, found on the PATH as a desktop finds it.
    Program(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("cannot make pipes for the program");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            for (const std::string& variable : environment) {
                putenv(const_cast<char*>(variable.c_str()));
            }
            std::vector<char*> argv;
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        readers_.emplace_back([this, fd = out[0]] { collect(fd, output_); });
        readers_.emplace_back([this, fd = err[0]] { collect(fd, errors_); });
    }
    ~Program() {
        stop();
        for (auto& reader : readers_) {
            reader.join();
        }
    }

    std::string output() const {
        std::lock_guard lock(mutex_);
        return output_;
    }
    std::string errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    void collect(int fd, std::string& into) {
        char buffer[4096];
        ssize_t count = 0;
        while ((count = read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard lock(mutex_);
            into.append(buffer, static_cast<std::size_t>(count));
        }
        close(fd);
    }

    pid_t pid_ = -1;
    mutable std::mutex mutex_;
    std::string output_;
    std::string errors_;
    std::vector<std::thread> readers_;
};

// The pipe's format: 48 kHz, two channels, 16-bit little-endian.
constexpr int pipeRate = 48'000;
constexpr int pipeChannels = 2;

std::vector<char> pipeBytes(const std::vector<std::int16_t>& samples) {
    std::vector<char> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = char(samples[i] & 0xff);
        bytes[2 * i + 1] = char((samples[i] >> 8) & 0xff);
    }
    return bytes;
}

// espeak-ng's speech of `sentences` in the pipe's format, as a microphone hears a person say them: `pause`
// seconds of digital silence before and after each, and a noise floor over all of it when one is given (a
// real microphone in a quiet room; without one, a virtual microphone or one with a noise gate).
std::vector<char> makeSpeech(const fs::path& folder,
                             const std::vector<std::string>& sentences = {"Hello from the dictation test."},
                             std::optional<double> noiseFloor = std::nullopt, double pause = 0.3) {
    using namespace System::AudioTesting;
    std::vector<std::int16_t> samples = digitalSilence(std::size_t(pause * pipeRate) * pipeChannels);
    for (const auto& sentence : sentences) {
        const auto spoken = spokenSentence(folder, sentence, pipeRate, pipeChannels);
        samples.insert(samples.end(), spoken.begin(), spoken.end());
        const auto gap = digitalSilence(std::size_t(pause * pipeRate) * pipeChannels);
        samples.insert(samples.end(), gap.begin(), gap.end());
    }
    if (noiseFloor) {
        addNoiseFloor(samples, *noiseFloor);
    }
    return pipeBytes(samples);
}

// Plays `bytes` into the pipe at the pace a microphone would deliver them.
void play(const std::vector<char>& bytes) {
    const char* path = std::getenv("PARLINDO_TEST_PIPE_SOURCE");
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return;
    }
    constexpr std::size_t blockBytes = pipeRate * pipeChannels * 2 / 50; // 20 ms
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t offset = 0, block = 1; offset < bytes.size(); offset += blockBytes, ++block) {
        const std::size_t length = std::min(blockBytes, bytes.size() - offset);
        if (write(fd, bytes.data() + offset, length) != static_cast<ssize_t>(length)) {
            break;
        }
        // Paced by the clock, not by the sleeps: a busy machine's late wake-ups don't stretch the speech.
        std::this_thread::sleep_until(start + block * 20ms);
    }
    close(fd);
}

bool isViewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return window && XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

// A top-level window of any client whose name is `name` (and that is viewable, when asked for), or 0.
Window findWindow(Display* display, Window from, const std::string& name, bool viewable = false) {
    char* found = nullptr;
    if (XFetchName(display, from, &found) && found) {
        const bool match = name == found && (!viewable || isViewable(display, from));
        XFree(found);
        if (match) {
            return from;
        }
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window result = 0;
    if (XQueryTree(display, from, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && !result; ++i) {
            result = findWindow(display, children[i], name, viewable);
        }
        XFree(children);
    }
    return result;
}

// What a window manager would do for the test window: give it the keyboard and name it the active window.
void focus(Display* display, Window window) {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(display, DefaultRootWindow(display), active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&window), 1);
    XSync(display, False);
}

// The cloud service's answers: a device registers and every transcription is `serviceText`.
void serveCloud(System::Net::Testing::LoopbackServer& cloud) {
    cloud.reply("HEAD", "/v1/ping", 200, "");
    cloud.reply("GET", "/v1/version", 200, R"({"latest":"1.0.0","minimum":"1.0.0"})");
    cloud.reply("POST", "/v1/devices", 200, R"({"deviceId":"end-to-end-device","token":"end-to-end-token"})");
    cloud.reply("GET", "/v1/me", 200, R"({"blocked":false,"monthlyMinutes":600,"minutesLeft":599})");
    cloud.reply("POST", "/v1/transcriptions", 200,
                R"({"text":")" + serviceText + R"(","language":"ar","minutesLeft":598})");
    cloud.reply("GET", "/appcast.xml", 200, R"(<rss version="2.0"><channel/></rss>)", "application/rss+xml");
}

// A fresh home for the program, with its private runtime folder.
fs::path makeHome(const std::string& name) {
    const fs::path home = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home / "runtime");
    fs::permissions(home / "runtime", fs::perms::owner_all);
    fs::create_directories(home / "tmp");
    return home;
}

// Stores the program's dictation settings in `home`: `keys` (JSON members) over the defaults, and no
// clipboard restore. The field reads a paste in its own time; on a busy machine that can be after the restore
// delay, when the clipboard holds the older contents again.
void storeDictationSettings(const fs::path& home, const std::string& keys = "") {
    fs::create_directories(home / "config" / "parlindo");
    std::ofstream(home / "config" / "parlindo" / "defaults.json")
        << R"({"dictationSettings":{)" << keys << (keys.empty() ? "" : ",")
        << R"("restoresClipboard":false}})";
}

// The program's environment: its folders in `home`, the cloud and update addresses at the stand-in.
std::vector<std::string> programEnvironment(const fs::path& home,
                                            System::Net::Testing::LoopbackServer& cloud) {
    return {"HOME=" + home.string(),
            "XDG_CONFIG_HOME=" + (home / "config").string(),
            "XDG_DATA_HOME=" + (home / "data").string(),
            "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
            // A checkout under /tmp would make the program a temporary copy that adds no autostart entry.
            "TMPDIR=" + (home / "tmp").string(),
            "PARLINDO_API_URL=" + cloud.url("/"),
            "PARLINDO_APPCAST_URL=" + cloud.url("/appcast.xml"),
            "PARLINDO_LOG_LEVEL=info"};
}

// The launch reads the cloud account only after it has started the dictation keys and registered this
// device: from then on the program is ready.
bool waitUntilReady(System::Net::Testing::LoopbackServer& cloud) {
    return waitUntil([&] { return !cloud.requests("GET", "/v1/me").empty(); }, patience);
}

// Holds `key` while `speech` plays into the microphone, once the overlay shows that the recording has begun
// (on a busy machine the program may take a while to start listening, and speech played earlier is lost),
// then releases it. The test's own windows go on handling events meanwhile.
void dictate(Display* display, KeyCode key, const std::vector<char>& speech) {
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XSync(display, False);
    EXPECT_TRUE(waitUntil(
        [&] {
            return isViewable(display, findWindow(display, DefaultRootWindow(display), "Parlindo Overlay"));
        },
        patience))
        << "the overlay never appeared while the key was held";
    std::atomic<bool> played = false;
    std::thread player([&] {
        play(speech);
        played = true;
    });
    EXPECT_TRUE(waitUntil([&] { return played.load(); }, patience));
    player.join(); // the pipe takes everything, so playing always ends
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XSync(display, False);
}

class DictationEndToEndTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run this under scripts/testenv/with-xvfb";
        ASSERT_NE(std::getenv("PARLINDO_TEST_PIPE_SOURCE"), nullptr)
            << "run this under scripts/testenv/with-pulseaudio";
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "ParlindoEndToEndTests";
        static char* argv[] = {name, nullptr};
        application = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete application;
        application = nullptr;
    }

    static inline QApplication* application = nullptr;
};

TEST_F(DictationEndToEndTest, HoldingTheKeyWhileSpeakingPutsTheCloudServicesTextIntoTheFocusedWindow) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    ASSERT_TRUE(XTestQueryExtension(display, &event, &error, &major, &minor)) << "the X server has no XTest";

    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-end-to-end");
    const std::vector<char> speech = makeSpeech(home);
    ASSERT_GT(speech.size(), 48000u * 4) << "espeak-ng made less than a second of speech";

    // The test's own window: a text field that takes typed and pasted text.
    QLineEdit field;
    field.setWindowTitle(QStringLiteral("Dictation target"));
    field.resize(400, 40);
    field.move(40, 40);
    field.show();
    ASSERT_TRUE(waitUntil([&] { return field.isVisible() && field.windowHandle()->isExposed(); }, patience));

    // Defaults: right Option dictates Arabic, which goes to the cloud engine, and the text is pasted.
    storeDictationSettings(home);
    Program parlindo(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    ASSERT_TRUE(waitUntilReady(cloud)) << parlindo.errors();
    // The sound server is what stands for the microphone permission.
    EXPECT_NE(parlindo.errors().find("microphone=granted"), std::string::npos) << parlindo.errors();
    // The program's window opens where there is no tray; the dictation goes to the test's field.
    ASSERT_TRUE(waitUntil(
        [&] { return findWindow(display, DefaultRootWindow(display), "Parlindo Settings") != 0; }, patience));
    focus(display, static_cast<Window>(field.winId()));
    ASSERT_TRUE(
        waitUntil([&] { return field.hasFocus() || QApplication::focusWidget() == &field; }, patience));

    KeyCode key = XKeysymToKeycode(display, XStringToKeysym("Alt_R"));
    if (key == 0) {
        key = XKeysymToKeycode(display, XStringToKeysym("ISO_Level3_Shift"));
    }
    ASSERT_NE(key, 0) << "the X server's keymap has no right Option key";

    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XSync(display, False);
    // The overlay shows while the key is held, as the recording starts. The speech plays from then on: on
    // a busy machine the program may take a while to start listening, and speech played earlier is lost.
    Window overlay = 0;
    const bool overlayShown = waitUntil(
        [&] {
            overlay = findWindow(display, DefaultRootWindow(display), "Parlindo Overlay");
            return isViewable(display, overlay);
        },
        patience);
    std::atomic<bool> played = false;
    std::thread player([&] {
        play(speech);
        played = true;
    });
    if (overlayShown) {
        // Let the level bars follow the speech for a moment, then photograph the overlay from the screen.
        waitUntil([] { return false; }, 700ms);
        XWindowAttributes attributes;
        XGetWindowAttributes(display, overlay, &attributes);
        fs::create_directories(PARLINDO_SCREENSHOTS);
        const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
        screen.copy(attributes.x, attributes.y, attributes.width, attributes.height)
            .save(QString::fromStdString(std::string(PARLINDO_SCREENSHOTS) + "/overlay-recording.png"));
    }
    EXPECT_TRUE(waitUntil([&] { return played.load(); }, patience));
    player.join(); // the pipe takes everything, so playing always ends
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XSync(display, False);
    EXPECT_TRUE(overlayShown) << "the overlay never appeared while the key was held";

    EXPECT_TRUE(
        waitUntil([&] { return field.text().contains(QString::fromStdString(serviceText)); }, patience))
        << "the field holds \"" << field.text().toStdString() << "\"\n"
        << parlindo.errors();
    EXPECT_TRUE(waitUntil(
        [&] {
            return !isViewable(display, findWindow(display, DefaultRootWindow(display), "Parlindo Overlay"));
        },
        patience))
        << "the overlay did not go away";
    EXPECT_TRUE(
        waitUntil([&] { return parlindo.output().find(serviceText) != std::string::npos; }, patience));

    const std::string output = parlindo.output();
    EXPECT_NE(output.find("[Tessarin] tessarin release\u2192text "), std::string::npos) << output;
    EXPECT_NE(output.find(", lang ar): " + serviceText + "\n"), std::string::npos) << output;

    const auto uploads = cloud.requests("POST", "/v1/transcriptions");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].header("Authorization"), "Bearer end-to-end-token");
    EXPECT_EQ(uploads[0].header("X-TS-Language"), "ar");
    EXPECT_EQ(uploads[0].header("Content-Type"), "audio/wav");
    ASSERT_GT(uploads[0].body.size(), 44u + 16000u) << "less than half a second of audio was sent";
    EXPECT_EQ(uploads[0].body.substr(0, 4), "RIFF");

    EXPECT_TRUE(parlindo.running()) << parlindo.errors();
    parlindo.stop();
    XCloseDisplay(display);
    fs::remove_all(home);
}

// With the default bindings the Menu key, which stands in for fn, dictates English; English goes to the cloud
// stand-in here so that the text is known. The key itself must not reach the field: a Qt field opens its
// context menu on it, and the menu would then take the paste shortcut.
TEST_F(DictationEndToEndTest, TheMenuKeyDictatesIntoAQtFieldThatNeverSeesTheKey) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-menu-key");
    storeDictationSettings(home,
                           R"("engines":{"english":"tessarin","arabic":"tessarin","automatic":"tessarin"})");
    const std::vector<char> speech = makeSpeech(home);

    QLineEdit field;
    field.setWindowTitle(QStringLiteral("Menu key target"));
    field.resize(400, 40);
    field.move(40, 140);
    field.show();
    ASSERT_TRUE(waitUntil([&] { return field.isVisible() && field.windowHandle()->isExposed(); }, patience));

    Program parlindo(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    ASSERT_TRUE(waitUntilReady(cloud)) << parlindo.errors();
    ASSERT_TRUE(waitUntil(
        [&] { return findWindow(display, DefaultRootWindow(display), "Parlindo Settings") != 0; }, patience));
    focus(display, static_cast<Window>(field.winId()));
    ASSERT_TRUE(
        waitUntil([&] { return field.hasFocus() || QApplication::focusWidget() == &field; }, patience));

    const KeyCode menu = XKeysymToKeycode(display, XStringToKeysym("Menu"));
    ASSERT_NE(menu, 0) << "the X server's keymap has no Menu key";
    dictate(display, menu, speech);

    EXPECT_TRUE(
        waitUntil([&] { return field.text().contains(QString::fromStdString(serviceText)); }, patience))
        << "the field holds \"" << field.text().toStdString() << "\"\n"
        << parlindo.errors();
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "the field opened its context menu";
    EXPECT_EQ(cloud.requests("POST", "/v1/transcriptions").size(), 1u);

    parlindo.stop();
    XCloseDisplay(display);
    fs::remove_all(home);
}

// An autostarted copy and a manual start would both watch the keys and insert every dictation twice.
TEST_F(DictationEndToEndTest, ASecondCopySaysTheFirstIsRunningAndEnds) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-second-copy");

    Program first(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    ASSERT_TRUE(waitUntilReady(cloud)) << first.errors();
    Program second(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    EXPECT_TRUE(waitUntil(
        [&] { return second.errors().find("Parlindo is already running") != std::string::npos; }, patience))
        << second.errors();
    // The same words in a window the user has to acknowledge.
    Window message = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            message = findWindow(display, DefaultRootWindow(display), "Parlindo", true);
            return message != 0;
        },
        patience));
    focus(display, message);
    const KeyCode enter = XKeysymToKeycode(display, XStringToKeysym("Return"));
    XTestFakeKeyEvent(display, enter, True, CurrentTime);
    XTestFakeKeyEvent(display, enter, False, CurrentTime);
    XSync(display, False);
    EXPECT_TRUE(waitUntil([&] { return !second.running(); }, patience)) << "the second copy is still running";
    EXPECT_TRUE(first.running()) << first.errors();

    first.stop();
    XCloseDisplay(display);
    fs::remove_all(home);
}

// What starts each result line of the on-device engine.
const std::string onDeviceResult = "[Tessarin] appleSpeech release\u2192text ";

// The texts of the result lines the program printed for the on-device engine, in order.
std::vector<std::string> onDeviceTexts(const std::string& output) {
    const std::string& marker = onDeviceResult;
    std::vector<std::string> texts;
    for (std::size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
        const std::size_t text = output.find("): ", at);
        const std::size_t end = output.find('\n', at);
        if (text != std::string::npos && end != std::string::npos && text < end) {
            texts.push_back(output.substr(text + 3, end - text - 3));
        }
    }
    return texts;
}

// What a person dictating a sentence expects: its words. The recognizer's words are not all right even on
// its best path (PocketSphinx on espeak-ng's voice), so they are held to a word error rate.
const std::string fox = "the quick brown fox jumps over the lazy dog";
constexpr double tolerableWordErrors = 0.5;

// The microphones the dictations come through: clean (digital silence between words, as a virtual
// microphone or one with a noise gate delivers it) and a real one's noise floor.
class OnDeviceDictationTest : public DictationEndToEndTest,
                              public testing::WithParamInterface<std::optional<double>> {};

// The first dictation after a start heard other words than later ones, and later a normalisation over
// dithered samples heard wrong words on clean input every time. Every dictation, the first after a start and
// the later ones, hears the sentence's words.
TEST_P(OnDeviceDictationTest, EveryDictationHearsTheWordsFromTheFirstOnAfterAStart) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-on-device");
    // Two seconds before and after the words: a person holds the key a while before speaking, and a mean
    // taken over the silence as much as over the speech heard other words.
    const std::vector<char> speech = makeSpeech(home, {fox}, GetParam(), 2.0);
    // Defaults: the Menu key dictates English on this computer. With no window in front the text stays on
    // the clipboard; the result lines are what the test reads.
    storeDictationSettings(home);

    Program parlindo(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    ASSERT_TRUE(waitUntilReady(cloud)) << parlindo.errors();
    const KeyCode menu = XKeysymToKeycode(display, XStringToKeysym("Menu"));
    ASSERT_NE(menu, 0) << "the X server's keymap has no Menu key";

    for (std::size_t dictation = 1; dictation <= 3; ++dictation) {
        dictate(display, menu, speech);
        ASSERT_TRUE(waitUntil([&] { return onDeviceTexts(parlindo.output()).size() == dictation; }, patience))
            << "dictation " << dictation << " gave no text\n"
            << parlindo.output() << parlindo.errors();
        // The overlay goes before the next dictation begins.
        EXPECT_TRUE(waitUntil(
            [&] {
                return !isViewable(display,
                                   findWindow(display, DefaultRootWindow(display), "Parlindo Overlay"));
            },
            patience));
    }
    const std::vector<std::string> texts = onDeviceTexts(parlindo.output());
    ASSERT_EQ(texts.size(), 3u);
    RecordProperty("heard", texts[0] + " / " + texts[1] + " / " + texts[2]);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_LE(System::AudioTesting::wordErrorRate(fox, texts[i]), tolerableWordErrors)
            << "dictation " << i + 1 << " heard \"" << texts[i] << "\"";
    }

    parlindo.stop();
    XCloseDisplay(display);
    fs::remove_all(home);
}

INSTANTIATE_TEST_SUITE_P(Microphones, OnDeviceDictationTest, testing::Values(std::nullopt, -60.0),
                         [](const auto& info) { return info.param ? "NoiseFloor" : "DigitalSilence"; });

// The release→text times of the on-device result lines, in order.
std::vector<long> releaseToTextTimes(const std::string& output) {
    const std::string& marker = onDeviceResult;
    std::vector<long> times;
    for (std::size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
        times.push_back(std::atol(output.c_str() + at + marker.size()));
    }
    return times;
}

// Not a test: scripts/measure-dictation-latency runs it to measure how long a user waits for the text after
// releasing the key, for about 3 and 30 seconds of speech on the on-device engine, with
// PARLINDO_LATENCY_DICTATIONS dictations of each. Without it, it does nothing.
TEST_F(DictationEndToEndTest, MeasureReleaseToTextOnDevice) {
    const char* dictations = std::getenv("PARLINDO_LATENCY_DICTATIONS");
    if (!dictations) {
        GTEST_SKIP() << "a measurement: scripts/measure-dictation-latency runs it";
    }
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-latency");
    const std::vector<std::string> paragraph = {
        fox,
        "please send the report to my manager before friday",
        "we will meet at the station at nine in the morning",
        "open the window and let some fresh air into the room",
        "i would like a cup of coffee with milk and sugar",
        "the weather today is cold and windy with some rain",
        "she bought three new books at the store yesterday",
        "call me back when you get home tonight",
        "the children played in the park after school",
        "turn left at the next corner and drive two miles",
        "thank you very much for your help with the project",
    };
    struct Speech {
        std::string name;
        std::vector<char> bytes;
    };
    const std::vector<Speech> speeches = {{"3 s", makeSpeech(home, {fox}, -60.0, 0.3)},
                                          {"30 s", makeSpeech(home, paragraph, -60.0, 0.4)}};
    storeDictationSettings(home);
    Program parlindo(PARLINDO_PROGRAM, programEnvironment(home, cloud));
    ASSERT_TRUE(waitUntilReady(cloud)) << parlindo.errors();
    const KeyCode menu = XKeysymToKeycode(display, XStringToKeysym("Menu"));

    for (const auto& speech : speeches) {
        std::vector<long> times;
        for (int i = 0; i < std::atoi(dictations); ++i) {
            const std::size_t before = releaseToTextTimes(parlindo.output()).size();
            dictate(display, menu, speech.bytes);
            ASSERT_TRUE(waitUntil([&] { return releaseToTextTimes(parlindo.output()).size() > before; }, patience))
                << parlindo.output() << parlindo.errors();
            times.push_back(releaseToTextTimes(parlindo.output()).back());
            waitUntil([&] { return !isViewable(display, findWindow(display, DefaultRootWindow(display),
                                                                    "Parlindo Overlay")); },
                      patience);
        }
        const double seconds = double(speech.bytes.size()) / (pipeRate * pipeChannels * 2);
        std::vector<long> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        std::string all;
        for (long t : times) {
            all += std::to_string(t) + " ";
        }
        std::printf("release->text, %s of speech (%.1f s played): median %ld ms, min %ld, max %ld; all: %s\n",
                    speech.name.c_str(), seconds, sorted[sorted.size() / 2], sorted.front(), sorted.back(),
                    all.c_str());
    }
    const auto texts = onDeviceTexts(parlindo.output());
    if (!texts.empty()) {
        std::printf("last text: %s\n", texts.back().c_str());
    }
    parlindo.stop();
    XCloseDisplay(display);
    fs::remove_all(home);
}

// A start given the cloud and update addresses writes an autostart entry that gives them to the start at
// login, which then reaches the cloud without them in its own environment.
TEST_F(DictationEndToEndTest, TheStartAtLoginGetsTheAddressesTheFirstStartWasGiven) {
    System::Net::Testing::LoopbackServer cloud;
    serveCloud(cloud);
    const fs::path home = makeHome("parlindo-login-start");
    const fs::path entryFile = home / "config" / "autostart" / "com.tessarin.Tessarin.desktop";
    std::string exec;
    {
        Program first(PARLINDO_PROGRAM, programEnvironment(home, cloud));
        ASSERT_TRUE(waitUntilReady(cloud)) << first.errors();
        const std::string entry = System::Paths::readFile(entryFile).value_or("");
        const std::size_t line = entry.find("\nExec=");
        ASSERT_NE(line, std::string::npos) << entry;
        exec = entry.substr(line + 6, entry.find('\n', line + 1) - line - 6);
        EXPECT_EQ(exec, "env \"PARLINDO_API_URL=" + cloud.url("/") + "\" \"PARLINDO_APPCAST_URL=" +
                            cloud.url("/appcast.xml") + "\" \"" + std::string(PARLINDO_PROGRAM) + "\"");
        first.stop();
    }

    // What the desktop runs at login: the entry's command, in a session that names no address.
    const std::size_t accountReads = cloud.requests("GET", "/v1/me").size();
    std::vector<std::string> session = programEnvironment(home, cloud);
    std::erase_if(session, [](const std::string& variable) {
        return variable.starts_with("PARLINDO_API_URL=") || variable.starts_with("PARLINDO_APPCAST_URL=");
    });
    Program atLogin(System::LoginItem::desktopExecArguments(exec), session);
    EXPECT_TRUE(waitUntil([&] { return cloud.requests("GET", "/v1/me").size() > accountReads; }, patience))
        << atLogin.errors();
    EXPECT_EQ(atLogin.errors().find("not set up"), std::string::npos) << atLogin.errors();
    // The entry already starts the program as this start was given: it stays as it was.
    EXPECT_NE(System::Paths::readFile(entryFile).value_or("").find("\nExec=" + exec + "\n"),
              std::string::npos);

    atLogin.stop();
    fs::remove_all(home);
}

} // namespace
