// The texts of the balloon that tells why the program will not start at
// log-on from where it is.
#pragma once
#include <cstddef>

// The tray balloon's room, terminators included.
const size_t BALLOON_TITLE_SIZE = 64;
const size_t BALLOON_TEXT_SIZE = 256;

struct InstallOffer {
  const char* title;
  const char* text;
};

// fileTrusted: no other user can replace the program's file or a folder on
// its way, so the Run value starts it where UAC is off and only the place
// keeps the log-on task away. Otherwise nothing starts it at log-on at all.
InstallOffer installOffer(bool fileTrusted);
