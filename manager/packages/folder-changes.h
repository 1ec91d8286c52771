// Whether anything happened in a few folders since a given moment, told by
// one read of an inotify queue instead of a stat of every file concerned.
#pragma once

#include <string>
#include <vector>

#include "unique-fd.h"

class FolderChanges {
public:
    // Starts watching each folder: changes of the folder itself and of its
    // entries. `required` folders must be watched for Quiet() to ever hold;
    // the others may be missing (their parent then sees them appear).
    void Watch(const std::vector<std::string>& required, const std::vector<std::string>& optional);

    // True when nothing has happened since the last call (or since Watch).
    // Whatever had happened is taken off the queue: a caller that sees false
    // looks at the files itself, and everything later shows next time.
    bool Quiet();

private:
    UniqueFd fd_;
};
