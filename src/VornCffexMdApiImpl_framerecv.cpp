// Software mode receive: raw feed frames from channel 0, matched to the feed's channels and
// handed to the parser in sequence order, directly or through the reorder list.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "VornCffexMdApiImpl.h"
#include "VornCffexMdUdpImpl.h"
#include "byte_order.h"
#include "exanic_dma.h"

using namespace Vorn_R10;

namespace {

constexpr ssize_t kBufferBytes = 2048;
constexpr ssize_t kPacketHeaderBytes = sizeof(df_udp_header);

uint32_t SeqNoOf(const uint8_t* payload) { return LoadBe32(payload + offsetof(df_udp_header, seqno)); }

// "a.b.c.d" strictly, into host order.
bool ParseDottedAddress(const std::string& text, uint32_t& addr) {
    struct in_addr parsed;
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    addr = ntohl(parsed.s_addr);
    return true;
}

bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// The drop counter of a frame the check refused.
EFrameDrop DropReasonOf(FrameCheck check) {
    switch (check) {
    case FrameCheck::NotIpv4Udp:
    case FrameCheck::Fragment: return DROP_NOT_UDP;
    default: return DROP_TOO_SHORT; // UDP length, frame or payload too short for a datagram
    }
}

} // namespace

// Each channel text is parsed once; a frame then matches a channel when its IPv4 source
// address and UDP destination port equal the channel's exactly.
void CVornCffexMdApiImpl::ParseFeedChannels() {
    m_feedChannels.clear();
    for (const multi_address_field& address : m_MultiAddressField) {
        const std::string text(address.multi_address, strnlen(address.multi_address, sizeof address.multi_address));
        SFeedChannel channel{false, 0, 0, false, 0};
        std::string port, source;
        channel.valid = _parseURL(text, port, source) && ParsePort(port, channel.port) &&
                        ParseDottedAddress(source, channel.source_addr);
        // The group: between "://" and the port's colon.
        const size_t host = text.find("://") + 3, colon = text.find(':', host);
        channel.group_valid = channel.valid && ParseDottedAddress(text.substr(host, colon - host), channel.group_addr);
        m_feedChannels.push_back(channel);
    }
}

int32_t CVornCffexMdApiImpl::ExanicCffexDMA0() {
    ClearDirtied(m_recvBufDma0, m_recvLenDma0);
    exanic_cycles32_t stamp = 0;
    const ssize_t received =
        exanic_receive_frame(CExanicDMA::GetInstance().get_dma0_ptr(), m_recvBufDma0, kBufferBytes, &stamp);
    m_recvLenDma0 = DirtiedBytes(received);
    if (received == 0) {
        m_counters.Idle();
        return 0;
    }
    m_counters.FrameBegin();
    const int64_t wireNs = m_counters.Sampling() ? CardWireNs(stamp) : 0;
    const int32_t result = HandleFrameDma0(received);
    m_counters.FrameEnd(wireNs);
    return result;
}

// One frame of channel 0 in software mode, or the receive call's error.
__attribute__((always_inline)) inline int32_t CVornCffexMdApiImpl::HandleFrameDma0(ssize_t received) {
    m_counters.FrameReceived();
    if (received < 0) {
        CountReceiveError(received);
        return 0;
    }
    if (received > kBufferBytes) return 0;
    const uint32_t recvSize = static_cast<uint32_t>(received);
    if (received < kPacketHeaderBytes) {
        m_counters.FrameDropped(DROP_TOO_SHORT);
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] msg is error,  (msg len is %d) < (df_udp_header len is %d). ",
                 static_cast<int>(recvSize), static_cast<int>(kPacketHeaderBytes));
        return 1;
    }

    FeedFrame frame;
    const FrameCheck check = CheckFeedFrame(reinterpret_cast<const uint8_t*>(m_recvBufDma0), recvSize, frame);
    if (check != FrameCheck::Accepted) {
        m_counters.FrameDropped(DropReasonOf(check));
        return 0;
    }
    bool ofFeed = false;
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(m_recvBufDma0) + frame.payload_offset;
    for (const SFeedChannel& channel : m_feedChannels) {
        if (!channel.valid || channel.source_addr != frame.source_addr || channel.port != frame.dest_port) continue;
        ofFeed = true;
        FeedPayload(payload, frame.payload_length, recvSize);
    }
    if (ofFeed)
        m_counters.FrameOfFeed();
    else
        m_counters.FrameDropped(DROP_FOREIGN);
    return 0;
}

__attribute__((always_inline)) inline void CVornCffexMdApiImpl::FeedPayload(const uint8_t* payload,
                                                                          uint32_t payload_len, uint32_t recvSize) {
    if (m_r10ConfigInfo.exanic_cache_flag == 1)
        ExanicCffexDMA0_Buffer(payload, payload_len, recvSize);
    else
        ExanicCffexDMA0_NoBuffer(payload, payload_len, recvSize);
}

__attribute__((always_inline)) inline int32_t
CVornCffexMdApiImpl::ExanicCffexDMA0_NoBuffer(const uint8_t* payload, uint32_t payload_len, uint32_t recvSize) {
    const uint32_t seqno = SeqNoOf(payload);
    if (seqno > m_CurUdpNo + 1) {
        ClearTrustFlags();
        m_counters.GapSkipped();
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] recvSize is %d, pUdpHeader->seqno is %d, m_CurUdpNo is %d.",
                 static_cast<int>(recvSize), static_cast<int>(seqno), static_cast<int>(m_CurUdpNo));
    }
    if (_processChunk(m_RspEncryptCodeSegmentField, payload, payload_len, *this) == -1)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] _processChunk is error, msg is error.");
    return 0;
}

__attribute__((always_inline)) inline int32_t
CVornCffexMdApiImpl::ExanicCffexDMA0_Buffer(const uint8_t* payload, uint32_t payload_len, uint32_t recvSize) {
    const uint32_t seqno = SeqNoOf(payload);
    if (seqno <= m_CurUdpNo + 1) {
        if (_processChunk(m_RspEncryptCodeSegmentField, payload, payload_len, *this) == -1)
            VORN_LOG(LOG_INFO, "[%s:%d] [%s] _processChunk is error, msg is error, pUdpHeader->seqno is %d.",
                     static_cast<int>(seqno));
        if (m_ExanicRecvList.GetQueueCount() > 0) DealExanicRecvList(); // in order: one test
        return 0;
    }
    VORN_LOG(LOG_INFO,
             "[%s:%d] [%s] add buffer, recvSize is %d, m_ExanicRecvList.GetQueueCount() is %d, "
             "pUdpHeader->seqno is %d, m_CurUdpNo is %d.",
             static_cast<int>(recvSize), m_ExanicRecvList.GetQueueCount(), static_cast<int>(seqno),
             static_cast<int>(m_CurUdpNo));
    if (m_ExanicRecvList.GetQueueCount() < m_r10ConfigInfo.exanic_cache_size) {
        InsertExanicRecvList(payload, payload_len);
        m_counters.ReorderDepth(static_cast<uint64_t>(m_ExanicRecvList.GetQueueCount()));
        return 0;
    }
    // The list is full: the gap is given up.
    ClearTrustFlags();
    InsertExanicRecvList(payload, payload_len);
    m_counters.ReorderDepth(static_cast<uint64_t>(m_ExanicRecvList.GetQueueCount()));
    ExanicRecvListOverflow();
    m_counters.ReorderDepth(0);
    return 0;
}

// One datagram, counted like a frame of the card's feed channel.
void CVornCffexMdApiImpl::HandleDatagram(size_t socket, SDatagram& datagram) {
    m_counters.FrameReceived();
    NoteKernelDrops(socket, datagram);
    if (datagram.truncated) {
        m_counters.ReceiveError(RX_TRUNCATED);
        return;
    }
    if (datagram.length == 0) {
        m_counters.FrameDropped(DROP_TOO_SHORT);
        return;
    }
    const uint16_t port = m_sockets.Channel(socket).port;
    bool ofFeed = false;
    for (const SFeedChannel& channel : m_feedChannels)
        ofFeed = ofFeed || (channel.valid && channel.source_addr == datagram.source && channel.port == port);
    if (!ofFeed) {
        m_counters.FrameDropped(DROP_FOREIGN);
        return;
    }
    // The packet header is read whole, as from the card's zeroed buffer: no bytes of an
    // earlier datagram behind a short one.
    if (datagram.length < sizeof(df_udp_header))
        memset(datagram.data + datagram.length, 0, sizeof(df_udp_header) - datagram.length);
    FeedPayload(datagram.data, datagram.length, datagram.length);
    m_counters.FrameOfFeed();
}

int32_t CVornCffexMdApiImpl::InsertExanicRecvList(const uint8_t* payload, uint32_t payload_len) {
    const bool wasEmpty = m_ExanicRecvList.GetQueueCount() == 0;
    sExanicRecv* node = m_ExanicRecvList.GetFree();
    if (!node) return wasEmpty ? 0 : -1;
    memcpy(node->m_recvBufDma, payload, payload_len);
    node->m_recvBufSize = payload_len;
    node->seqno = SeqNoOf(payload);
    if (wasEmpty) {
        m_ExanicRecvList.Push(node);
        m_counters.GapDetected();
        return 0;
    }
    // Behind the last queued packet whose seqno is not greater: equal seqnos keep arrival order.
    sExanicRecv* last = nullptr;
    for (sExanicRecv* cur = m_ExanicRecvList.Head(); cur && cur->seqno <= node->seqno; cur = cur->pNext) last = cur;
    if (last)
        m_ExanicRecvList.InsertAfter(last, node);
    else
        m_ExanicRecvList.PushHead(node);
    return 0;
}

// A gap is filled once its late packets let queued ones go; packets still queued behind a
// further gap start a new wait. The reorder depth is stored only when packets left the list.
int32_t CVornCffexMdApiImpl::DealExanicRecvList() {
    sExanicRecv* node = m_ExanicRecvList.Head();
    if (node->seqno > m_CurUdpNo + 1) return 0; // still missing
    m_counters.GapFilled();
    while (node && node->seqno <= m_CurUdpNo + 1) {
        sExanicRecv* next = node->pNext;
        if (_processChunk(m_RspEncryptCodeSegmentField, reinterpret_cast<const uint8_t*>(node->m_recvBufDma),
                          node->m_recvBufSize, *this) == -1)
            VORN_LOG(LOG_INFO, "[%s:%d] [%s] _processChunk is error, msg is error, pUdpHeader->seqno is %d.",
                     static_cast<int>(node->seqno));
        m_ExanicRecvList.Pop();
        m_ExanicRecvList.Recycle(node);
        node = next;
    }
    if (m_ExanicRecvList.GetQueueCount() > 0) m_counters.GapDetected();
    m_counters.ReorderDepth(static_cast<uint64_t>(m_ExanicRecvList.GetQueueCount()));
    return 0;
}

int32_t CVornCffexMdApiImpl::ExanicRecvListOverflow() {
    m_counters.GapGivenUp();
    sExanicRecv* node = m_ExanicRecvList.Head();
    while (node) {
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] dma0 recv buffer, pUdpHeader->seqno is %d, m_CurUdpNo is %d.",
                 static_cast<int>(node->seqno), static_cast<int>(m_CurUdpNo));
        sExanicRecv* next = node->pNext;
        if (_processChunk(m_RspEncryptCodeSegmentField, reinterpret_cast<const uint8_t*>(node->m_recvBufDma),
                          node->m_recvBufSize, *this) == -1)
            VORN_LOG(LOG_INFO,
                     "[%s:%d] [%s] _processChunk is error, msg is error, pUdpHeader->seqno is %d, m_CurUdpNo is %d.",
                     static_cast<int>(node->seqno), static_cast<int>(m_CurUdpNo));
        m_ExanicRecvList.Pop();
        m_ExanicRecvList.Recycle(node);
        node = next;
    }
    return 0;
}
