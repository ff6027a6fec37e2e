#pragma once
// The text of an error in the app's log lines: its default description, one
// blank, then its localized description.
#include <exception>
#include <string>

std::string appErrorText(const std::exception& error);
