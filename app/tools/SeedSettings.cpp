// Stores the five database settings without registering: the demo and the tests prepare a registry root with it.
//   enlistor-seed-settings SERVER IP DATABASE LOGIN < password
// The password comes from standard input (one trailing line end removed), never from the command line.
#include "settings/DatabaseSettings.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SERVER IP DATABASE LOGIN < password\n", argv[0]);
        return 2;
    }
    std::string password((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (!password.empty() && password.back() == '\n') {
        password.pop_back();
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    SettingsStoreError error;
    const bool stored = SaveDatabaseSettingsValue(
        DatabaseSettingsValue::FromTexts(argv[1], argv[2], argv[3], argv[4], password), &error);
    WipeText(password);
    if (!stored) {
        std::fprintf(stderr, "%s: cannot store the settings: %s\n", argv[0], error.text.c_str());
        return 1;
    }
    return 0;
}
