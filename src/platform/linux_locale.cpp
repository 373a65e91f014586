#include "platform/linux_locale.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <string_view>

namespace dorvanel::linux_locale {
namespace {

// Whether the environment gives the messages the C locale, which gettext
// keeps every sentence as it is in (LANGUAGE aside), and the C library its
// own texts: LC_ALL, else LC_MESSAGES, else LANG, the first set and not
// empty; none is C.
bool messages_in_c() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* const value = std::getenv(name);
        if (value != nullptr && *value != '\0') return std::string_view(value) == "C" || std::string_view(value) == "POSIX";
    }
    return true;
}

enum class Setup : unsigned char { None, C, Catalogues };
Setup setup = Setup::None;

}  // namespace

const char* translated(const char* sentence) {
    if (setup == Setup::None) {
        // In C, nothing more to set up: the sentence stays as it is, and
        // setlocale would cost more than the rest of the line.
        setup = messages_in_c() ? Setup::C : Setup::Catalogues;
        if (setup == Setup::Catalogues) {
            // LC_ALL: the system's own texts (strerror) follow the same
            // language and codeset.
            (void)std::setlocale(LC_ALL, "");
            (void)bindtextdomain("dorvanel", DORVANEL_LOCALEDIR);
        }
    }
    return setup == Setup::C ? sentence : dgettext("dorvanel", sentence);
}

}  // namespace dorvanel::linux_locale
