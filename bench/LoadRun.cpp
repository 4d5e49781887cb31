#include "LoadRun.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace zorva {

namespace {

constexpr std::size_t kReadBufferBytes = 256 * 1024;
constexpr std::size_t kMaxLatencySamples = 10'000'000;
// A stalled generator catches up at most this many lines per tick instead of flooding.
constexpr std::uint64_t kMaxLinesPerTick = 1000;
// Marks the send time in a latency line: "@" and nanoseconds of the generator's steady clock.
constexpr char kStampMark = '@';

std::int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::size_t LatencyCapacity(const TBenchOptions& options) {
  if (options.Mode != TBenchMode::Latency) return 0;
  const double expected = options.Rate * options.MeasureMs / 1000.0;
  return std::min(kMaxLatencySamples, static_cast<std::size_t>(expected * 2) + 1000);
}

}  // namespace

TLoadRun::TLoadRun(const TBenchOptions& options, IBenchDialect& dialect)
    : FOptions(options),
      FDialect(dialect),
      FServer(asio::ip::make_address(options.Host), options.Port),
      FSecondServer(asio::ip::make_address(options.Host), options.SecondPort),
      FReadBuffer(kReadBufferBytes),
      FTlsContext(options.Tls ? SSL_CTX_new(TLS_client_method()) : nullptr, SSL_CTX_free),
      FPhaseTimer(FIo),
      FSendTimer(FIo),
      FLatency(LatencyCapacity(options)) {
  if (options.Mode == TBenchMode::Idle) {
    BuildIdleTopology();
  } else {
    BuildLoadTopology();
  }
}

void TLoadRun::BuildLoadTopology() {
  const int publishers =
      FOptions.Publishers <= 0 ? FOptions.Members : std::min(FOptions.Publishers, FOptions.Members);
  for (int index = 0; index < FOptions.Subjects; ++index) {
    auto& subject = AddSubject(index);
    for (int member = 0; member < FOptions.Members; ++member) {
      const bool publishes = FDialect.ReceiversPublish() && member < publishers;
      AddMember(subject, {.Creator = member == 0, .Receives = true, .Publishes = publishes});
    }
    if (FDialect.ReceiversPublish()) continue;
    for (int member = 0; member < publishers; ++member) {
      AddMember(subject, {.Receives = false, .Publishes = true});
    }
  }
}

void TLoadRun::BuildIdleTopology() {
  for (int index = 0; static_cast<int>(FMembers.size()) < FOptions.Connections; ++index) {
    auto& subject = AddSubject(index);
    const int group =
        std::min(FOptions.Members, FOptions.Connections - static_cast<int>(FMembers.size()));
    for (int member = 0; member < group; ++member) {
      AddMember(subject, {.Creator = member == 0, .JoinsSubject = false});
    }
  }
}

TBenchSubject& TLoadRun::AddSubject(int index) {
  auto subject = std::make_unique<TBenchSubject>();
  subject->Name = "s" + std::to_string(index);
  subject->Code = "bench" + std::to_string(index);
  FSubjects.push_back(std::move(subject));
  return *FSubjects.back();
}

void TLoadRun::AddMember(TBenchSubject& subject, TBenchMember::TRole role) {
  auto member =
      std::make_unique<TBenchMember>(FIo, FReadBuffer, *this, FMembers.size(), subject, role);
  if (FTlsContext) member->Connection.UseTls(FTlsContext.get());
  if (role.Publishes) {
    std::string filler(static_cast<std::size_t>(std::max(FOptions.PayloadBytes, 1)), 'x');
    member->PublishBytes = FDialect.PublishBytes(*member, filler);
    subject.Publishers.push_back(member.get());
    FPublishers.push_back(member.get());
  }
  FMembers.push_back(std::move(member));
}

bool TLoadRun::Run(TBenchReport& report, std::string& error) {
  FReport.Connections = FMembers.size();
  if (const auto server = SampleServers(); FOptions.ServerPid && server) {
    FReport.ServerRssBefore = server->RssBytes;
  }
  FStart = TClock::now();
  FPhaseTimer.expires_after(std::chrono::milliseconds(FOptions.SetupTimeoutMs));
  FPhaseTimer.async_wait([this](auto cancelled) {
    if (cancelled || FPhase != TPhase::Setup) return;
    Finish("setup timed out: " + std::to_string(FReady) + " of " + std::to_string(FMembers.size()) +
           " connections ready");
  });
  ConnectMore();
  FIo.run();
  report = FReport;
  error = FError;
  return FError.empty();
}

void TLoadRun::ConnectMore() {
  while (FConnecting < static_cast<std::size_t>(FOptions.MaxConnecting) &&
         FNextToConnect < FMembers.size()) {
    auto& member = *FMembers[FNextToConnect];
    const auto& server = ServerOf(FNextToConnect++);
    ++FConnecting;
    if (FOptions.WebSocket) member.Connection.SpeakWebSocket();
    member.Connection.Connect(server,
                              [this, &member] { OnSetupStep(member, FDialect.Begin(member)); });
  }
}

void TLoadRun::OnSetupStep(TBenchMember& member, IBenchDialect::TSetup step) {
  if (step == IBenchDialect::TSetup::Failed)
    return Finish("server refused the setup of " + member.Id);
  if (step == IBenchDialect::TSetup::Pending) return;
  member.Ready = true;
  const bool countOnly = FOptions.Mode == TBenchMode::Throughput && member.Role.Receives &&
                         FDialect.OnlyDeliveriesAfterSetup();
  if (countOnly) member.Connection.CountLinesOnly();
  --FConnecting;
  ++FReady;
  if (FReady == FMembers.size()) return OnAllReady();
  ConnectMore();
}

void TLoadRun::OnAllReady() {
  FReport.SetupSeconds = Seconds(TClock::now() - FStart);
  FPhaseTimer.cancel();
  if (FOptions.Mode == TBenchMode::Idle) return After(FOptions.WarmupMs, &TLoadRun::MeasureIdle);
  FPhase = TPhase::Warmup;
  StartLoad();
  After(FOptions.WarmupMs, &TLoadRun::BeginWindow);
}

void TLoadRun::StartLoad() {
  FLoadStart = TClock::now();
  if (FOptions.Mode == TBenchMode::Throughput) {
    for (auto& subject : FSubjects) TopUp(*subject);
    return;
  }
  FLineRate = FOptions.Rate / FDialect.Fanout(FOptions.Members);
  const auto interval = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / FLineRate));
  FSendTick = std::clamp<TClock::duration>(interval, std::chrono::microseconds(100),
                                           std::chrono::milliseconds(1));
  SendTimedLines();
}

void TLoadRun::OnLine(TBenchConnection& connection, std::string_view line) {
  auto& member = MemberOf(connection);
  if (!member.Ready) return OnSetupStep(member, FDialect.OnSetupLine(member, line));
  if (!FDialect.IsDelivery(member, line)) return;
  CountDelivered(member, 1);
  if (FPhase == TPhase::Measure && FOptions.Mode == TBenchMode::Latency) RecordLatency(line);
}

void TLoadRun::OnLineCount(TBenchConnection& connection, std::size_t lines) {
  CountDelivered(MemberOf(connection), lines);
}

void TLoadRun::CountDelivered(TBenchMember& member, std::size_t lines) {
  member.Subject.ReceivedLines += lines;
  FDeliveryLines += lines;
}

void TLoadRun::OnReadDone(TBenchConnection& connection) {
  const bool loading = FPhase == TPhase::Warmup || FPhase == TPhase::Measure;
  if (loading && FOptions.Mode == TBenchMode::Throughput) TopUpLater(MemberOf(connection).Subject);
}

// A subject is topped up once per loop turn, after all the reads of that turn: topping up after
// every read sent a line or two per write, so the generator spent its time in system calls and
// became the limit of the run, for either server.
void TLoadRun::TopUpLater(TBenchSubject& subject) {
  if (subject.TopUpDue) return;
  subject.TopUpDue = true;
  FTopUpDue.push_back(&subject);
  if (FTopUpDue.size() == 1) asio::post(FIo, [this] { TopUpDue(); });
}

void TLoadRun::TopUpDue() {
  // Both lists keep their capacity from turn to turn.
  FToppingUp.swap(FTopUpDue);
  for (auto* subject : FToppingUp) {
    subject->TopUpDue = false;
    if (FPhase == TPhase::Warmup || FPhase == TPhase::Measure) TopUp(*subject);
  }
  FToppingUp.clear();
}

void TLoadRun::OnFailed(TBenchConnection& connection, std::string_view what) {
  Finish("connection " + MemberOf(connection).Id + " " + std::string(what));
}

// Keeps Window lines per publisher in flight in the subject, counting a line as landed once all
// its deliveries have arrived; lines go to the publishers in turn.
void TLoadRun::TopUp(TBenchSubject& subject) {
  if (subject.Publishers.empty()) return;
  const auto fanout = static_cast<std::int64_t>(FDialect.Fanout(FOptions.Members));
  const auto delivered =
      static_cast<std::int64_t>(subject.ReceivedLines / FDialect.LinesPerDelivery());
  const auto limit =
      static_cast<std::int64_t>(subject.Publishers.size()) * FOptions.Window * fanout;
  while (static_cast<std::int64_t>(subject.SentLines) * fanout - delivered < limit) {
    auto& publisher = *subject.Publishers[subject.NextPublisher++ % subject.Publishers.size()];
    publisher.Connection.Append(publisher.PublishBytes);
    ++subject.SentLines;
    ++FSentLines;
  }
  for (auto* publisher : subject.Publishers) publisher->Connection.Flush();
}

// Sends the lines that a steady rate owes since the load started, each stamped with its own
// send time, from the publishers in turn.
void TLoadRun::SendTimedLines() {
  if (FPhase == TPhase::Done || FPublishers.empty()) return;
  const auto owed = static_cast<std::uint64_t>(Seconds(TClock::now() - FLoadStart) * FLineRate);
  const auto due = std::min(owed > FSentLines ? owed - FSentLines : 0, kMaxLinesPerTick);
  for (std::uint64_t line = 0; line < due; ++line) {
    auto& publisher = *FPublishers[FNextPublisher++ % FPublishers.size()];
    const auto payload = kStampMark + std::to_string(NowNanos());
    publisher.Connection.Append(FDialect.PublishBytes(publisher, payload));
    publisher.Connection.Flush();
    ++publisher.Subject.SentLines;
  }
  FSentLines += due;
  FSendTimer.expires_after(FSendTick);
  FSendTimer.async_wait([this](auto cancelled) {
    if (!cancelled) SendTimedLines();
  });
}

void TLoadRun::RecordLatency(std::string_view line) {
  const auto mark = line.find(kStampMark);
  if (mark == std::string_view::npos) return;
  std::int64_t sentAt = 0;
  const auto* first = line.data() + mark + 1;
  if (std::from_chars(first, line.data() + line.size(), sentAt).ec != std::errc{}) return;
  FLatency.Add(NowNanos() - sentAt);
}

void TLoadRun::After(int ms, void (TLoadRun::*step)()) {
  FPhaseTimer.expires_after(std::chrono::milliseconds(ms));
  FPhaseTimer.async_wait([this, step](auto cancelled) {
    if (!cancelled && FPhase != TPhase::Done) (this->*step)();
  });
}

void TLoadRun::BeginWindow() {
  FPhase = TPhase::Measure;
  FWindowStart = Snapshot();
  After(FOptions.MeasureMs, &TLoadRun::EndWindow);
}

void TLoadRun::EndWindow() {
  const auto end = Snapshot();
  auto& report = FReport;
  report.WindowSeconds = Seconds(end.Time - FWindowStart.Time);
  report.Deliveries = end.Deliveries - FWindowStart.Deliveries;
  report.DeliveriesPerSecond = static_cast<double>(report.Deliveries) / report.WindowSeconds;
  report.SentPerSecond = static_cast<double>(end.Sent - FWindowStart.Sent) / report.WindowSeconds;
  if (end.Server && FWindowStart.Server) {
    report.ServerCpuSeconds = end.Server->CpuSeconds - FWindowStart.Server->CpuSeconds;
    if (report.Deliveries > 0) {
      report.ServerMicrosPerDelivery = *report.ServerCpuSeconds * 1e6 / report.Deliveries;
    }
  }
  if (end.Generator && FWindowStart.Generator) {
    report.GeneratorCpuSeconds = end.Generator->CpuSeconds - FWindowStart.Generator->CpuSeconds;
  }
  report.Samples = FLatency.Count();
  report.P50Micros = FLatency.PercentileMicros(0.5);
  report.P99Micros = FLatency.PercentileMicros(0.99);
  report.P999Micros = FLatency.PercentileMicros(0.999);
  Finish({});
}

void TLoadRun::MeasureIdle() {
  const auto server = SampleServers();
  if (FOptions.ServerPid && server && FReport.ServerRssBefore) {
    FReport.ServerRssAfter = server->RssBytes;
    const auto grown = static_cast<double>(server->RssBytes) - *FReport.ServerRssBefore;
    FReport.ServerRssPerConnection = grown / FMembers.size();
  }
  Finish({});
}

void TLoadRun::Finish(std::string error) {
  if (FPhase == TPhase::Done) return;
  FPhase = TPhase::Done;
  FError = std::move(error);
  FPhaseTimer.cancel();
  FSendTimer.cancel();
  for (auto& member : FMembers) member->Connection.Close();
  FIo.stop();
}

std::uint64_t TLoadRun::Deliveries() const {
  return FDeliveryLines / FDialect.LinesPerDelivery();
}

TLoadRun::TSnapshot TLoadRun::Snapshot() const {
  TSnapshot snapshot{TClock::now(), Deliveries(), FSentLines, std::nullopt, SampleProcess(0)};
  if (FOptions.ServerPid) snapshot.Server = SampleServers();
  return snapshot;
}

std::optional<TProcSample> TLoadRun::SampleServers() const {
  auto total = SampleProcess(FOptions.ServerPid);
  for (const int pid : FOptions.MorePids) {
    const auto more = SampleProcess(pid);
    if (!total || !more) return std::nullopt;
    total->CpuSeconds += more->CpuSeconds;
    total->RssBytes += more->RssBytes;
  }
  return total;
}

// Members of one subject are neighbours in the list, so alternating spreads each subject.
const asio::ip::tcp::endpoint& TLoadRun::ServerOf(std::size_t member) const {
  return FOptions.SecondPort != 0 && member % 2 == 1 ? FSecondServer : FServer;
}

}  // namespace zorva
