// orvane-x11-person: input from the X server's own keyboard and mouse (not
// XTest), for tests in other languages that need a person at the desktop.
//   orvane-x11-person key KEYCODE | click
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/x11/Person.h"

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (!(what == "click" && argc == 2) && !(what == "key" && argc == 3)) {
    std::fprintf(stderr, "usage: orvane-x11-person key KEYCODE | click\n");
    return 2;
  }
  orvane::test::Person person;
  if (!person.ready()) {
    std::fprintf(stderr, "orvane-x11-person: no keyboard or mouse besides XTest on this display\n");
    return 1;
  }
  if (what == "click") {
    person.click();
  } else {
    const long keycode = std::strtol(argv[2], nullptr, 10);
    if (keycode < 8 || keycode > 255) {
      std::fprintf(stderr, "orvane-x11-person: a keycode is 8 to 255\n");
      return 2;
    }
    person.key(static_cast<unsigned>(keycode));
  }
  return 0;
}
