// tessaly: the command-line face of the converter. For now it decodes a GIF
// file and lists its frames with their placements on the logical screen.
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "gif/GifDecoder.h"
#include "res/Resource.h"

#include <cstdio>
#include <cstring>

#ifndef TESSALY_SAMPLE_GIF
#define TESSALY_SAMPLE_GIF "res/sample.gif"
#endif

int main(int argc, char** argv) {
    if (argc > 2 ||
        (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")))) {
        std::printf("usage: %s [source.gif]\n"
                    "Lists the frames of a GIF file (the bundled sample when none is given).\n",
                    argv[0]);
        return argc > 2 ? 2 : 0;
    }
    const char* path = argc == 2 ? argv[1] : TESSALY_SAMPLE_GIF;

    CGifDecoder decoder;
    if (!decoder.LoadFile(path)) {
        CString message;
        AfxFormatString1(message, IDS_LOAD_ERROR, path);
        AfxMessageBox(message, MB_OK);
        return 1;
    }
    std::printf("%s: logical screen %d x %d\n", path, decoder.m_nScreenWidth,
                decoder.m_nScreenHeight);
    decoder.m_hDC = GetDC(nullptr);
    int frames = 0;
    while (HBITMAP frame = decoder.GetNextFrame()) {
        std::printf("frame %3d: %4d x %-4d at (%d, %d), delay %d/100 s\n", frames, decoder.m_nWidth,
                    decoder.m_nHeight, decoder.m_nLeft, decoder.m_nTop, decoder.m_nDelay);
        DeleteObject(frame);
        ++frames;
    }
    ReleaseDC(nullptr, decoder.m_hDC);
    std::printf("%d frame%s\n", frames, frames == 1 ? "" : "s");
    return 0;
}
