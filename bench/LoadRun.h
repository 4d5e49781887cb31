// One measurement of zorva-bench: connects and sets up the members, runs the chosen mode on one
// Asio thread with every phase bounded by a timer, and fills a TBenchReport. The same code
// drives both servers; IBenchDialect holds what differs.
#pragma once

#include <openssl/ssl.h>
#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BenchDialect.h"
#include "BenchOptions.h"
#include "LatencyRecorder.h"
#include "ProcSampler.h"

namespace zorva {

struct TBenchReport {
  std::size_t Connections = 0;
  double SetupSeconds = 0;
  // Throughput and latency: the measured window.
  double WindowSeconds = 0;
  std::uint64_t Deliveries = 0;
  double DeliveriesPerSecond = 0;
  double SentPerSecond = 0;
  std::optional<double> ServerCpuSeconds;
  std::optional<double> ServerMicrosPerDelivery;
  std::optional<double> GeneratorCpuSeconds;
  // Latency.
  std::size_t Samples = 0;
  double P50Micros = 0;
  double P99Micros = 0;
  double P999Micros = 0;
  // Idle.
  std::optional<std::uint64_t> ServerRssBefore;
  std::optional<std::uint64_t> ServerRssAfter;
  std::optional<double> ServerRssPerConnection;
};

class TLoadRun : public ILineSink {
 public:
  TLoadRun(const TBenchOptions& options, IBenchDialect& dialect);

  // Sets up, measures and closes every connection; false with `error` when the run could not
  // finish (refused, disconnected, timed out).
  bool Run(TBenchReport& report, std::string& error);

  void OnLine(TBenchConnection& connection, std::string_view line) override;
  void OnLineCount(TBenchConnection& connection, std::size_t lines) override;
  void OnReadDone(TBenchConnection& connection) override;
  void OnFailed(TBenchConnection& connection, std::string_view what) override;

 private:
  enum class TPhase { Setup, Warmup, Measure, Done };
  using TClock = std::chrono::steady_clock;
  struct TSnapshot {
    TClock::time_point Time;
    std::uint64_t Deliveries = 0;
    std::uint64_t Sent = 0;
    std::optional<TProcSample> Server;
    std::optional<TProcSample> Generator;
  };

  void BuildLoadTopology();
  void BuildIdleTopology();
  TBenchSubject& AddSubject(int index);
  void AddMember(TBenchSubject& subject, TBenchMember::TRole role);
  void ConnectMore();
  void OnSetupStep(TBenchMember& member, IBenchDialect::TSetup step);
  void CountDelivered(TBenchMember& member, std::size_t lines);
  void OnAllReady();
  void StartLoad();
  void TopUp(TBenchSubject& subject);
  void TopUpLater(TBenchSubject& subject);
  void TopUpDue();
  void SendTimedLines();
  void RecordLatency(std::string_view line);
  void After(int ms, void (TLoadRun::*step)());
  void BeginWindow();
  void EndWindow();
  void MeasureIdle();
  void Finish(std::string error);
  TBenchMember& MemberOf(const TBenchConnection& connection) { return *FMembers[connection.Tag()]; }
  std::uint64_t Deliveries() const;
  TSnapshot Snapshot() const;
  // The server's processes summed; empty unless every one of them could be read.
  std::optional<TProcSample> SampleServers() const;
  const asio::ip::tcp::endpoint& ServerOf(std::size_t member) const;

  const TBenchOptions& FOptions;
  IBenchDialect& FDialect;
  asio::io_context FIo;
  asio::ip::tcp::endpoint FServer;
  asio::ip::tcp::endpoint FSecondServer;
  std::vector<char> FReadBuffer;
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> FTlsContext;
  std::vector<std::unique_ptr<TBenchSubject>> FSubjects;
  std::vector<std::unique_ptr<TBenchMember>> FMembers;
  std::vector<TBenchMember*> FPublishers;
  std::size_t FNextPublisher = 0;
  std::vector<TBenchSubject*> FTopUpDue;
  std::vector<TBenchSubject*> FToppingUp;
  std::size_t FNextToConnect = 0;
  std::size_t FConnecting = 0;
  std::size_t FReady = 0;
  TPhase FPhase = TPhase::Setup;
  asio::steady_timer FPhaseTimer;
  asio::steady_timer FSendTimer;
  TClock::duration FSendTick{};
  double FLineRate = 0;  // latency: published lines per second
  std::uint64_t FDeliveryLines = 0;
  std::uint64_t FSentLines = 0;
  TLatencyRecorder FLatency;
  TClock::time_point FStart;
  TClock::time_point FLoadStart;
  TSnapshot FWindowStart;
  TBenchReport FReport;
  std::string FError;
};

}  // namespace zorva
