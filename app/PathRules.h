// The file-name rules of the two paths. Only the last characters count, in
// any case: "picture.GIF", "picturegif", "clip.webp", "clip.PNG" and
// "clip.apng" are sources, "clip.Avi" a
// destination, "picture.Bmp" a bitmap. Dots are looked for in the file's own
// name, never in the folders above it: "./clip" and "my.films/clip" become
// "... clip.avi".
#pragma once

#include "fw/String.h"

// The source ends in "gif", "png" (".png", ".apng") or "webp".
inline bool HasSourceEnding(const CString& path) {
    CString ending = path.Right(3);
    ending.MakeLower();
    CString longer = path.Right(4);
    return ending == "gif" || ending == "png" || longer.MakeLower() == "webp";
}

// A destination whose file name has no dot gets "." and `extension` (three
// lower-case letters: "avi", "bmp") appended; one with a dot must end in
// `extension`. A path ending in '/' names no file and is refused. False when
// refused. The converter's videos and tessaly-image's bitmaps follow it alike.
inline bool FixDestination(CString& path, const char* extension) {
    const CString name = path.Mid(path.ReverseFind('/') + 1);
    if (name.IsEmpty()) return false;
    if (name.Find('.') < 0) {
        path += ".";
        path += extension;
        return true;
    }
    CString ending = path.Right(3);
    return ending.MakeLower() == extension;
}

inline bool FixAviDestination(CString& path) {
    return FixDestination(path, "avi");
}
