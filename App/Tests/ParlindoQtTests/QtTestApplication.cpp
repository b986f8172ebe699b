#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

// One QApplication for the whole test program, on Qt's offscreen platform unless the environment asks for
// another, with the locale fixed so texts and number formats are the same on every machine.
class QtApplicationEnvironment final : public testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("LC_ALL", "C.UTF-8", 1);
        static int argc = 1;
        static char name[] = "ParlindoQtTests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
        // The offscreen platform cannot raise windows and says so each time; that says nothing about the
        // code.
        previousHandler_ = qInstallMessageHandler(&filter);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override { application_.reset(); }

private:
    static void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains(QStringLiteral("This plugin does not support"))) {
            return;
        }
        previousHandler_(type, context, message);
    }

    static inline QtMessageHandler previousHandler_ = nullptr;
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace
