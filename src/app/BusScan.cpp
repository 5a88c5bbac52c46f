#include "app/BusScan.h"

#include <algorithm>

#include "app/VornikTexts.h"
#include "firmware/KRVDataUtils.h"
#include "util/NumberText.h"

namespace vornik {

namespace {

constexpr uint32_t kKRVWBroadcast = 0xFFFFFFFFu;
/// Above this a KRV frame cannot carry the address: 251..254 are the start and stop bytes of the
/// two framings, 255 is the broadcast, and longer addresses would lose all but their low byte.
constexpr uint32_t kHighestKRVAddress = 250;
constexpr std::size_t kMaxListAddresses = 1u << 24;  ///< a list longer than this is a typing error

std::optional<uint32_t> ListNumber(std::string_view Text) {
  std::optional<uint32_t> v;
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    v = ParseUnsigned("$" + std::string(Text.substr(2)));
  } else if (!Text.empty() && (Text[0] == '$' || (Text[0] >= '0' && Text[0] <= '9'))) {
    v = ParseUnsigned(Text);
  }
  return v;
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

}  // namespace

bool IsBroadcastAddress(uint32_t Address) { return Address == kBroadcastAddress || Address == kKRVWBroadcast; }

std::optional<std::vector<uint32_t>> ParseAddressList(std::string_view Text, std::string& Error) {
  std::vector<uint32_t> out;
  uint64_t count = 0;
  std::string_view rest = Text;
  while (true) {
    const auto comma = rest.find(',');
    const std::string_view item = Trim(rest.substr(0, comma));
    if (item.empty()) {
      Error = "empty entry in the address list: " + std::string(Text);
      return std::nullopt;
    }
    const auto dash = item.find('-');
    const auto first = ListNumber(Trim(item.substr(0, dash)));
    const auto last = dash == std::string_view::npos ? first : ListNumber(Trim(item.substr(dash + 1)));
    if (!first || !last) {
      Error = "bad address or range \"" + std::string(item) + "\" (0..4294967295, $ or 0x hexadecimal, A-B)";
      return std::nullopt;
    }
    if (*last < *first) {
      Error = "range ends before it begins: " + std::string(item);
      return std::nullopt;
    }
    count += uint64_t{*last} - *first + 1;
    if (count > kMaxListAddresses) {
      Error = "more than " + std::to_string(kMaxListAddresses) + " addresses in the list";
      return std::nullopt;
    }
    for (uint64_t a = *first; a <= *last; ++a) out.push_back(static_cast<uint32_t>(a));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

TBusScan::TBusScan(TDeviceSession& Session) : session_(Session), commands_(Session.Comms) {}

void TBusScan::Start(std::vector<uint32_t> Addresses, std::function<void(const TScanOutcome&)> Done) {
  std::erase_if(Addresses, IsBroadcastAddress);
  addresses_ = std::move(Addresses);
  done_ = std::move(Done);
  next_ = 0;
  outcome_ = {};
  session_.TrackAnswers("ASYSI");
  session_.Open([this](bool Up) {
    if (!Up) {
      outcome_.Result = "no-link";
      outcome_.Text = session_.LinkFailureText();
      outcome_.ExitCode = kExitNoLink;
      auto done = std::move(done_);
      done(outcome_);
      return;
    }
    // The settings' first answer time holds for the identification too (see Identify).
    commands_.IdentifyTimeout = std::clamp(session_.Comms.Timeout_1, int32_t{1}, TDeviceCommands::kIdentifyTimeout);
    Next();
  });
}

void TBusScan::Next() {
  if (stopped_ || next_ >= addresses_.size() || !session_.Comms.LinkUp()) {
    Finish();
    return;
  }
  const uint32_t address = addresses_[next_++];
  session_.Comms.KRVAddress = address;
  commands_.Address = address;
  commands_.IdentifyInKRV = address <= kHighestKRVAddress;
  session_.ForgetAnswerSender();
  commands_.Identify([this, address](uint16_t ErrorCode, const std::string& Answer, TKRVMode Format) {
    if (ErrorCode == 0) {
      TIdentifyOutcome d;
      std::string text;
      if (DecodeDeviceInfo(Answer, d.Info, text) == 0) {
        d.Result = "ok";
        d.Text = texts::kDeviceInfo + text;
        d.Answer = Answer;
        d.Format = Format;
        d.Sender = session_.AnswerSender().value_or(address);
        const bool known = std::any_of(outcome_.Devices.begin(), outcome_.Devices.end(),
                                       [&](const TIdentifyOutcome& D) { return D.Sender == d.Sender; });
        if (!known) outcome_.Devices.push_back(std::move(d));
      }
    }
    ++outcome_.Asked;
    if (OnProgress) OnProgress(outcome_.Asked, addresses_.size(), outcome_.Devices.size());
    // Out of the engine's callback before the next request goes.
    session_.Post([this] { Next(); });
  });
}

void TBusScan::Finish() {
  session_.Close();
  std::stable_sort(outcome_.Devices.begin(), outcome_.Devices.end(),
                   [](const TIdentifyOutcome& A, const TIdentifyOutcome& B) { return *A.Sender < *B.Sender; });
  outcome_.Result = "ok";
  outcome_.ExitCode = kExitOk;
  outcome_.Text = std::to_string(outcome_.Devices.size()) + " of " + std::to_string(outcome_.Asked) +
                  " addresses answered";
  if (!stopped_ && outcome_.Asked < addresses_.size()) {
    // The port went away (an adapter pulled) or the connection was lost in the middle.
    outcome_.Result = "no-link";
    outcome_.ExitCode = kExitNoLink;
    outcome_.Text = session_.LinkFailureText() + "; " + outcome_.Text + " before the link was lost";
  } else if (stopped_ && outcome_.Asked < addresses_.size()) {
    outcome_.Result = "stopped";
    outcome_.ExitCode = kExitFailed;
    outcome_.Text += " (stopped before the end)";
  }
  auto done = std::move(done_);
  done(outcome_);
}

}  // namespace vornik
