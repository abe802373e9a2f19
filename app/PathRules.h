// The file-name rules of the two paths. Only the last three characters count,
// in any case: "picture.GIF" and "picturegif" are sources, "clip.Avi" a
// destination.
#pragma once

#include "fw/String.h"

// The source ends in "gif".
inline bool HasGifEnding(const CString& path) {
    CString ending = path.Right(3);
    return ending.MakeLower() == "gif";
}

// A destination without a dot anywhere (folder names included) gets ".avi"
// appended; one with a dot must end in "avi". False when refused.
inline bool FixAviDestination(CString& path) {
    if (path.Find('.') < 0) {
        path += ".avi";
        return true;
    }
    CString ending = path.Right(3);
    return ending.MakeLower() == "avi";
}
