// The tray's texts through gettext, domain "vistrel", with the English text
// as the message id. Log lines and console texts do not go through here:
// scripts and tests read them word for word.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace vistrel::tray {

// The catalogue's text for `message`, or `message` itself.
const char* Translate(const char* message);
// The plural form for `count`, as the catalogue's rule chooses it.
const char* TranslatePlural(const char* singular, const char* plural, unsigned long count);
// `pattern` with each "%s" replaced by the next of `values` (and "%%" by
// "%"), so that a translation may put the parts where its language wants them.
std::string Substitute(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace vistrel::tray

// Marks for xgettext (keywords _, N_ and P_:1,2).
#define _(message) ::vistrel::tray::Translate(message)
// Marked for the catalogue, translated where it is used.
#define N_(message) message
#define P_(singular, plural, count) ::vistrel::tray::TranslatePlural(singular, plural, count)
