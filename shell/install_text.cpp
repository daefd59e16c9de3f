// The install offer's texts (implements install_text.h).
#include "shell/install_text.h"

InstallOffer installOffer(bool fileTrusted) {
  if (fileTrusted) {
    return {"Quorvel may not start at log-on",
            "Windows starts it elevated at log-on only from a folder under Program Files that "
            "other users cannot change. Choose \"Install in Program Files\" in the tray menu to "
            "copy it there."};
  }
  return {"Quorvel will not start at log-on",
          "Other users could change its file or folder, and it would start with full rights. "
          "Choose \"Install in Program Files\" in the tray menu to copy it where they cannot."};
}
