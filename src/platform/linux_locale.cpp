#include "platform/linux_locale.h"

#include <libintl.h>

#include <clocale>

namespace dorvanel::linux_locale {
namespace {

bool set_up = false;

}  // namespace

const char* translated(const char* sentence) {
    if (!set_up) {
        set_up = true;
        // LC_ALL: the system's own texts (strerror) follow the same language
        // and codeset. Under LANG=C gettext gives every sentence as it is.
        (void)std::setlocale(LC_ALL, "");
        (void)bindtextdomain("dorvanel", DORVANEL_LOCALEDIR);
    }
    return dgettext("dorvanel", sentence);
}

}  // namespace dorvanel::linux_locale
