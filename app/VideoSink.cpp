#include "app/VideoSink.h"

#include "res/Resource.h"

#include <algorithm>

namespace {

// A failed AVI library call: memory, or else the disk.
UINT WriteFailureMessage(HRESULT result) {
    return result == AVIERR_MEMORY ? IDS_MEMORY_ERROR : IDS_WRITE_ERROR;
}

} // namespace

CVideoSink::CVideoSink(const CString& destination, int width, int height) : m_file(destination) {
    if (m_file.ok()) m_writer.emplace(m_file.path(), width, height);
}

void CVideoSink::Configure(bool uncompressed, DWORD rate, DWORD scale, int keyFrameEvery) {
    m_bUncompressed = uncompressed;
    if (rate != 15 || scale != 1) m_writer->SetFrameRate(rate, scale);
    if (uncompressed) return;
    if (keyFrameEvery == kEvery10Seconds)
        m_writer->SetKeyFrameInterval(int(std::max<DWORD>(1, 10 * rate / scale)));
    else
        m_writer->SetKeyFrameInterval(keyFrameEvery);
}

bool CVideoSink::Add(HBITMAP* canvas, int repeats) {
    if (repeats <= 0) return true;
    if (m_writer->AddFrame(canvas, m_bUncompressed) && m_writer->AddEmptyFrames(repeats - 1))
        return true;
    // A writer still usable refused the capture (memory); an unusable one
    // met a failing library call.
    m_failure =
        m_writer->IsAvailable() ? IDS_MEMORY_ERROR : WriteFailureMessage(m_writer->m_hrLastError);
    return false;
}

UINT CVideoSink::Finish(UINT failure, int* error) {
    const HRESULT completed = m_writer->Close();
    *error = m_writer->m_nLastErrno; // the system's reason for a failed write
    if (!failure && completed != AVIERR_OK) failure = WriteFailureMessage(completed);
    if (!failure && !m_file.Commit()) {
        failure = IDS_WRITE_ERROR;
        *error = m_file.Error();
    }
    return failure;
}

void CVideoSink::Abandon() {
    if (m_writer) m_writer->Close();
}
