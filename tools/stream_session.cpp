// One stream through the driver's control device, over a process's user-mode face. On the host
// and on Windows.
#include "tools/stream_session.h"

namespace gvspfilter {

const char* PolicyName(HandOverPolicy policy)
{
    switch (policy) {
    case HandOverPolicy::Queue:
        return "queue";
    case HandOverPolicy::Newest:
        return "newest";
    case HandOverPolicy::Waiting:
        return "waiting";
    case HandOverPolicy::NewestWaiting:
        return "newest-waiting";
    }
    return "?";
}

HandOverPolicy ParsePolicy(const std::string& name)
{
    for (HandOverPolicy policy :
        {HandOverPolicy::Queue, HandOverPolicy::Newest, HandOverPolicy::Waiting, HandOverPolicy::NewestWaiting}) {
        if (name == PolicyName(policy)) {
            return policy;
        }
    }
    throw UsageError("unknown hand-over policy '" + name + "' (queue, newest, waiting or newest-waiting)");
}

StreamSession::StreamSession(gvsp::UserProcess& process, const StreamSettings& settings)
    : stream_(std::make_unique<gvsp::Stream>(process))
{
    NTSTATUS status = stream_->Bind(settings.adapterMac, settings.port, &portId_);
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused to bind UDP port " + std::to_string(settings.port) + " on adapter " +
                       MacText(settings.adapterMac) + " (status " + StatusText(status) + ")");
    }
    if (!stream_->AllocateCache(settings.buffers, FRAME_BUFFER_MIN_SIZE + settings.frameSize)) {
        throw RunError("no room for " + std::to_string(settings.buffers) + " frame buffers of " +
                       std::to_string(settings.frameSize) + " payload bytes in the stream's process");
    }
    gvsp::StreamConfig config;
    config.frameSize = settings.frameSize;
    config.packetSize = settings.packetSize;
    config.streamChannelIndex = settings.streamChannel;
    config.resendSourcePort = settings.resendSourcePort;
    config.resendTimeoutMs = settings.resend ? settings.resendTimeoutMs : 0;
    config.resendRetryLimit = settings.resendRetryLimit;
    config.resendEnabled = settings.resend;
    config.flags = static_cast<uint32_t>(settings.policy);
    stream_->Configure(config);
    status = stream_->SetupCache();
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused the frame cache (status " + StatusText(status) + ")");
    }
    stream_->SetActive(true);
    status = stream_->Start();
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused to start acquisition (status " + StatusText(status) + ")");
    }
    for (uint32_t i = 0; i < settings.requestsInFlight; ++i) {
        pending_.push_back(stream_->RequestFrame());
    }
}

size_t StreamSession::Collect(const FrameSink& sink)
{
    if (closed_) {
        return 0;
    }
    HearEvents();
    size_t taken = 0;
    while (!pending_.empty() && pending_.front()->Done()) {
        gvsp::Frame frame;
        NTSTATUS status = pending_.front()->Wait(&frame);
        pending_.pop_front();
        if (NT_SUCCESS(status) && frame.Valid()) {
            FrameRecord record;
            record.blockId = frame.BlockId();
            record.status = frame.Status();
            record.payloadBytes = frame.Header().PayloadSize;
            frames_.push_back(record);
            payloadBytes_ += record.payloadBytes;
            if (sink) {
                sink(frame);
            }
            stream_->ReturnFrame(frame);
            ++taken;
        }
        pending_.push_back(stream_->RequestFrame());
    }
    return taken;
}

void StreamSession::HearEvents()
{
    if (eventSource_) {
        const size_t heard = frameEvents_.size();
        eventSource_(frameEvents_);
        for (size_t i = heard; i < frameEvents_.size(); ++i) {
            frameEvents_[i].framesBefore = frames_.size();
        }
    }
}

size_t StreamSession::WaitAndCollect(uint32_t milliseconds, const FrameSink& sink)
{
    if (!closed_ && !pending_.empty()) {
        pending_.front()->Wait(nullptr, milliseconds);
    }
    return Collect(sink);
}

const StreamControlBlock& StreamSession::Block() const { return closed_ ? finalBlock_ : stream_->Block(); }

void StreamSession::Close()
{
    if (closed_) {
        return;
    }
    // What is still assembling lies in the buffers until the port goes: a slot holds a frame in
    // assembly when it names a block, has no final status and lacks packets (a handed-over or
    // freed frame keeps a status or all its packets; a given-up slot is zeroed).
    for (uint32_t i = 0; i < stream_->Block().FrameCount; ++i) {
        const FrameHeader& h = stream_->FrameAt(stream_->BufferAddress(i) + FRAME_PRIVATE_SIZE).Header();
        if (h.BlockId != 0 && h.FrameStatus == FRAME_STATUS_COMPLETE &&
            (h.TotalPackets == 0 || h.ReceivedPackets < h.TotalPackets)) {
            assembling_.push_back({h.BlockId, h.ReceivedPackets, h.TotalPackets});
        }
    }
    HearEvents();
    // Stopping cancels the requests in flight; each must have ended before its record goes.
    stream_->Stop();
    for (auto& request : pending_) {
        request->Cancel();
        request->Wait(nullptr);
    }
    pending_.clear();
    finalBlock_ = stream_->Block();
    stream_.reset();
    closed_ = true;
}

}  // namespace gvspfilter
