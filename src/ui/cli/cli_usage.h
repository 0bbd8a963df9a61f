// The usage of tarnwick-cli, written once and given two forms: the --help text and the
// man page tarnwick-cli(1), which the build generates from the same source.
#pragma once
#include <string>

// The --help text, wrapped to 80 columns.
std::string CliUsageText();
// The same page in man(7) form.
std::string CliManPage();
// "tarnwick-cli (Quorvale Tarnwick) V2.0, build 1009"
std::string CliVersionText();
