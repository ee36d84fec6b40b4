// The reply buffer of the resource server: a chain of memory blocks that one
// reply is appended to, with snapshots to drop a half-written part and
// external blocks attached without copying.
#include <halvex/server/resource_server.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace ZYRK {

CResReplyBuffer::CResReplyBuffer(size_t blockSize, size_t limit) : m_blockSize(blockSize), m_limit(limit) {}

CResReplyBuffer::~CResReplyBuffer() { Flush(); }

void CResReplyBuffer::Drop(Piece& p)
{
    if (p.owned) {
        delete[] p.data;
    } else if (p.release) {
        p.release(p.context, p.data);
    }
}

uint8_t* CResReplyBuffer::AllocSpace(size_t n)
{
    if (n > m_limit || m_total > m_limit - n) {
        return nullptr;
    }
    if (!m_pieces.empty()) {
        Piece& last = m_pieces.back();
        if (last.owned && last.capacity - last.used >= n) {
            uint8_t* p = last.data + last.used;
            std::memset(p, 0, n);
            last.used += n;
            m_total += n;
            return p;
        }
    }
    size_t cap = std::max(n, m_blockSize);
    uint8_t* block = new (std::nothrow) uint8_t[cap];
    if (!block) {
        return nullptr;
    }
    std::memset(block, 0, n);
    m_pieces.push_back({block, cap, n, true, nullptr, nullptr});
    m_total += n;
    return block;
}

CResReplyBuffer::SNAPSHOT_T CResReplyBuffer::Snapshot() const
{
    return {m_pieces.size(), m_pieces.empty() ? 0 : m_pieces.back().used, m_total};
}

void CResReplyBuffer::Restore(const SNAPSHOT_T& s)
{
    while (m_pieces.size() > s.pieces) {
        Drop(m_pieces.back());
        m_pieces.pop_back();
    }
    if (!m_pieces.empty()) {
        m_pieces.back().used = s.used;
    }
    m_total = s.total;
}

bool CResReplyBuffer::SWAlign()
{
    if (m_total & 1) {
        return AllocSpace(1) != nullptr;
    }
    return true;
}

bool CResReplyBuffer::AttachExtBuffer(const void* data, size_t n, RELEASE_T release, void* context)
{
    if (n > m_limit || m_total > m_limit - n) {
        if (release) {
            release(context, data);
        }
        return false;
    }
    m_pieces.push_back({static_cast<uint8_t*>(const_cast<void*>(data)), n, n, false, release, context});
    m_total += n;
    return true;
}

std::vector<uint8_t> CResReplyBuffer::Bytes() const
{
    std::vector<uint8_t> out;
    out.reserve(m_total);
    ForEachPiece([&out](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    });
    return out;
}

void CResReplyBuffer::Flush()
{
    for (Piece& p : m_pieces) {
        Drop(p);
    }
    m_pieces.clear();
    m_total = 0;
}

}  // namespace ZYRK
