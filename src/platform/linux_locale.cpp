#include "platform/linux_locale.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <string_view>

namespace dorvanel::linux_locale {
namespace {

// Whether the environment gives the messages the C locale, in which gettext and the C library keep every
// sentence as it is (LANGUAGE aside): LC_ALL, else LC_MESSAGES, else LANG, the first set and not empty; none: C.
bool messages_in_c() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* const value = std::getenv(name);
        if (value != nullptr && *value != '\0') return std::string_view(value) == "C" || std::string_view(value) == "POSIX";
    }
    return true;
}

// Set up at the first sentence said. In C, nothing more: the sentence stays as it is, and setlocale would
// cost more than the rest of the line. Else LC_ALL, so that the system's own texts (strerror) follow the
// same language and codeset.
enum class Setup : unsigned char { None, C, Catalogues } setup = Setup::None;

}  // namespace

const char* translated(const char* sentence) {
    if (setup == Setup::None) {
        setup = messages_in_c() ? Setup::C : Setup::Catalogues;
        if (setup == Setup::Catalogues) (void)std::setlocale(LC_ALL, ""), (void)bindtextdomain("dorvanel", DORVANEL_LOCALEDIR);
    }
    return setup == Setup::C ? sentence : dgettext("dorvanel", sentence);
}

}  // namespace dorvanel::linux_locale
