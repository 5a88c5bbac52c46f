#include "testkit/ScriptedPeer.h"

namespace vornik::testkit {

void ScriptedPeer::OnBytes(MemoryLink& Link, std::string_view Bytes) {
  link_ = &Link;
  Raw.append(Bytes);
  buffer_.append(Bytes);
  decoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  while (true) {
    std::string frame = decoder_.ExtractFrame(buffer_);
    if (frame.empty()) break;
    PeerFrame f;
    f.Raw = frame;
    f.AtMs = loop_.nowMs();
    f.Payload = decoder_.Decode(frame);
    f.Result = decoder_.DecodeResult();
    f.Info = decoder_.Info;
    f.Dst = decoder_.Cimzett;
    f.Src = decoder_.Felado;
    f.Seq = decoder_.CsomagSorszam;
    f.Krvw = decoder_.LastWasKRVW();
    Received.push_back(f);
    if (OnFrame) OnFrame(*this, f);
  }
  // Anything before a start byte that never ends stays; cap it so floods cannot grow it.
  if (buffer_.size() > 8192) buffer_.erase(0, buffer_.size() - 8192);
}

std::string ScriptedPeer::FrameFrom(uint32_t From, std::string_view Payload, TInfo Info, int Seq, bool Krvw,
                                    uint32_t To) const {
  TKRVProtocol enc;
  enc.KRVMode = Krvw ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
  enc.Cimzett = To;
  enc.Felado = From;
  enc.Felado_rovid_cim = static_cast<uint8_t>(From);
  enc.Info = Info;
  enc.CsomagSorszam = static_cast<uint8_t>(Seq);
  return enc.Encode(Payload);
}

std::string ScriptedPeer::Frame(std::string_view Payload, TInfo Info, int Seq, bool Krvw, uint32_t To) const {
  return FrameFrom(Address, Payload, Info, Seq, Krvw, To);
}

void ScriptedPeer::Send(std::string_view Bytes) {
  if (link_ != nullptr) link_->PeerSend(Bytes);
}

void ScriptedPeer::Reply(const PeerFrame& F, std::string_view Payload, TInfo Info) {
  Send(Frame(Payload, Info, F.Seq, F.Krvw));
}

std::vector<PeerFrame> ScriptedPeer::Requests() const {
  std::vector<PeerFrame> out;
  for (const auto& f : Received)
    if (f.Info != TInfo::pozitiv_nyugta && f.Info != TInfo::negativ_nyugta) out.push_back(f);
  return out;
}

}  // namespace vornik::testkit
