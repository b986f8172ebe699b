#pragma once

#include <optional>
#include <string>

namespace System::Speech {

// A language with an optional region, written as a BCP 47 tag ("en-US", "ar-SA", "en").
class Locale {
public:
    explicit Locale(std::string identifier);

    // The user's language from LC_ALL, LC_MESSAGES or LANG ("en_GB.UTF-8" gives "en-GB"); "en-US" when none
    // is set or it is the C locale.
    static Locale current();
    // Reads a POSIX locale name such as "de_DE.UTF-8@euro"; nothing for an empty name or "C"/"POSIX".
    static std::optional<Locale> fromPosix(const std::string& name);

    const std::string& identifier() const { return identifier_; }
    // The lower-case language part: "en" for "en-US".
    std::string languageCode() const;
    // The upper-case region part, when there is one: "US" for "en-US".
    std::optional<std::string> regionCode() const;

    bool operator==(const Locale&) const = default;

private:
    std::string identifier_;
};

} // namespace System::Speech
