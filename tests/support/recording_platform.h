// A platform that records every request, in order, instead of acting on it.
#pragma once

#include <string>
#include <vector>

namespace dorvanel::recording {

// One request of the run, written as text: "open" or "close", followed by the
// drive element when there is one ("open !e:\"); "wait <ms>"; "notice
// <caption> <style>" (the notice's text is kept in last_notice_text).
std::vector<std::string>& requests();
std::string& last_notice_text();
void clear();

}  // namespace dorvanel::recording
