// Linux: the sentences the program says, in the user's language, through
// the C library's gettext (domain "dorvanel", no library linked). The locale
// is set up from the environment at the first sentence said, never before:
// a run that says nothing costs nothing more.
#pragma once

namespace dorvanel::linux_locale {

// Marks a sentence for the catalogues (xgettext --keyword=N_) where it is
// kept; it is translated where it is said.
constexpr const char* N_(const char* sentence) { return sentence; }

// The sentence in the user's language where a catalogue of the install has
// it, else as given; its printf directives are the given sentence's
// (msgfmt --check holds every catalogue to them).
[[gnu::format_arg(1)]] const char* translated(const char* sentence);

}  // namespace dorvanel::linux_locale
