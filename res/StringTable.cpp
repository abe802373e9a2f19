#include "res/StringTable.h"

#include "res/Resource.h"

namespace {

struct StringEntry {
    UINT id;
    LPCTSTR text;
};

constexpr StringEntry kStrings[] = {
    {IDS_ABOUT_MENU, "&About Tessaly..."},
    {IDS_SOURCE_TITLE, "Select the source file"},
    {IDS_DEST_TITLE, "Select the destination file"},
    // File-dialog filters: description and pattern pairs separated by '|',
    // closed by "||".
    {IDS_SOURCE_FILTER, "Animated pictures (*.gif *.webp *.png "
                        "*.apng)|*.gif;*.webp;*.png;*.apng|All files (*.*)|*.*||"},
    {IDS_DEST_FILTER, "AVI files (*.avi) |*.avi|All files (*.*)|*.*||"},
    {IDS_BAD_DEST_EXT, "Invalid extension for destination file"},
    {IDS_BAD_SOURCE_EXT, "Invalid extension for source file"},
    {IDS_OPEN_ERROR, "Error opening file %1"},
    {IDS_CONVERTED, "File successfully converted"},
    {IDS_LOAD_ERROR, "Error loading file %1"},
    {IDS_NO_IMAGES, "No images in file %1"},
    {IDS_WRITE_ERROR, "Error writing file %1"},
    {IDS_MEMORY_ERROR, "Not enough memory to convert file %1"},
    {IDS_PARTLY_CONVERTED, "File %1 converted up to image %2; the rest could not be read"},
    {IDS_CANCELLED, "Conversion cancelled"},
    {IDS_DEST_IS_SOURCE, "Destination file %1 is the source file"},
    {IDS_DEST_NOT_FILE, "Destination %1 is not a regular file"},
    {IDS_LONG_VIDEO, "The video of %1 will last %2 (h:mm:ss), as the delays of its images say"},
};

} // namespace

LPCTSTR FindResourceString(UINT id) {
    for (const StringEntry& e : kStrings)
        if (e.id == id) return e.text;
    return nullptr;
}
