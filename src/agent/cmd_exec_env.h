// The agent core: start-up (initMain), the one-second loop (startMain), shutdown (endMain),
// the MQTT receive callback, the order thread and the two ways results go back.
//
// Process-wide state: the receipt spool (filled by subscribeFunction on the MQTT library's
// delivery thread with the orders this terminal is to execute; the loop takes them in arrival
// order), the send and result-server queues (filled by the order thread), each with its own
// mutex, the stop flag written by the signal handler, the settings, the connection manager.
// Orders run one at a time: the loop starts the order thread and joins it at once.
//
// Start-up prepares the database and the spool before it connects, so a failed start takes
// nothing from the broker. An order's spool file is marked started before its thread begins
// (an order that cannot be marked is answered "failed", not run); its answer is stored in the
// spool before it is first published and removed once the broker acknowledged it. At the next
// start a stored answer is published again as it is, and an order found started without one is
// answered "failed" (interrupted), never run again. While kMaxWaitingAnswers answers wait for
// the broker, and after a stop signal, no further order starts.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "CmdInfoBase.h"
#include "ConnectionManager.h"

namespace zorcee {

// 0 when ready to run, 1 when start-up failed (the caller exits with it).
int initMain(const std::string& configPath);
// Runs the loop until a signal sets the stop flag.
void startMain();
// Releases the connection manager and the settings.
void endMain();
// Only records the signal number in a lock-free atomic; the loop writes the log line.
void signal_handler(int signal);
// Installs signal_handler for SIGINT and SIGTERM, and a handler that only notes SIGHUP and
// SIGUSR1 (logged by the loop: a daemon must not die of them). Called first thing in main, so
// that a stop signal at any moment of start-up ends the agent with status 0.
void installSignalHandlers();

// Receive callback: an order this terminal is to execute is spooled; a retained message, an
// order for another terminal or one that cannot run, and a redelivered copy of an order
// received recently are logged and dropped; an order the spool cannot take is answered
// "failed" (published from memory once the broker is reachable).
void subscribeFunction(const char* topic, const char* message);
// Builds the command object for an order text (never null). Without withPayload, a string at
// data.value is read as "" (enough to check and refuse an order, not to run it).
std::unique_ptr<command::CmdInfoBase> CreateCmdInfoObj(std::string_view orderText,
                                                       bool withPayload = true);
// Body of the order thread: builds, checks, executes the order and queues its results.
void executeServerOrderThread(std::mutex& sendMutex, std::mutex& resultMutex,
                              std::string orderText);
// Publishes one answer over MQTT; 0 for success.
int publishReturnServer(const std::string& text);
// Posts one result to a result server; 0 for success.
int sendHttpPost(const std::string& url, const std::string& text, std::string& response);

// Wires the process-wide settings (the existing SettingData instance), logger and connection
// manager without the start-up sequence, for code that drives the order thread directly
// (benchmarks, tests). Call before any order runs.
void attachObjects(std::unique_ptr<conn::ConnectionManager> manager);

// Orders held in the spool, and elements in the send and result-server queues (for tests).
size_t pendingReceiveCount();
size_t pendingSendCount();
size_t pendingResultCount();

}  // namespace zorcee
