#pragma once
// The application core both executables run: the settings model and its
// file, the rule lists and the users list, the engine with its connection
// server, the consumer of the monitor queue with the monitor, traffic
// counters and statistics, and the cache-cleaning run. Start-up and shutdown
// follow one order for both programs.
//
// Everything here except the engine's workers runs on one thread, the
// application's: the desktop app's event loop, or the daemon's main loop.

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/atomic_file.h"
#include "base/clock.h"
#include "base/snapshot.h"
#include "net/connection_server.h"
#include "proxy/engine.h"
#include "proxy/log_sink.h"
#include "proxy/proxy_handlers.h"
#include "shell/background_jobs.h"
#include "shell/cleaning_run.h"
#include "shell/listener_control.h"
#include "shell/monitor_model.h"
#include "shell/queue_consumer.h"
#include "shell/settings.h"
#include "shell/settings_store.h"
#include "shell/statistics.h"

namespace vs {

// "Не удалось сохранить FILE: reason", the text the user is shown (UTF-8).
std::string SaveFailureMessage(std::string_view file, const std::exception& failure);
// For a list saved from the window over a file that held more (changed by
// another program, or read only in part), kept aside first: says which
// (UTF-8); nothing when the file was not kept aside.
std::optional<std::string> OtherVersionKeptMessage(std::string_view file, OtherVersionKept why);
// For a second start on a data folder another Vellostore process holds
// (UTF-8).
std::string DataFolderInUseMessage(const std::filesystem::path& folder);
// For a start on a data folder that is not there (a mistyped
// VELLOSTORE_HOME): running on defaults would listen on a port nobody chose.
std::string NoDataFolderMessage(const std::filesystem::path& folder);
// When no enabled row of the users list has a name: every browser then gets
// 407, which looks like a broken proxy rather than an empty list.
std::optional<std::string> NobodyAdmittedMessage(const UsersSnapshot& users);

class ProxyService {
public:
    // `log` receives every log entry as the consumer applies it.
    // `keepMonitorRows` > 0 limits the monitor's memory (the daemon).
    // `hosts` resolves direct requests' and the parent's names and knows
    // the machine's own addresses.
    ProxyService(std::filesystem::path dataDir, std::filesystem::path executable,
                 proxy::LogSink log, const Clock& clock = DefaultClock(),
                 std::size_t keepMonitorRows = 0,
                 const net::HostLookup& hosts = net::SystemHostLookup());

    // The start-up sequence, run while the caller holds the data folder
    // (DataFolderLock): the temporaries of saves a killed process left are
    // removed; settings from "Vellostore.ini", applied; the
    // cache folder (its leftover temporaries swept in the background); the
    // autorun state; the rule lists in their order and the users list; the
    // statistics; then the listener opens. Returns the message for the user
    // when the port cannot be listened on (the proxy then runs with the
    // listener stopped) or when the parent is this proxy itself (it runs
    // without forwarding to the parent). Throws when the settings file exists but cannot be
    // read.
    std::optional<std::string> StartUp();

    // "Применить": publishes the settings model to the workers at once and
    // saves it. Only a new port or parent target restarts the listener (as
    // does applying while it is not listening); the restart runs in the
    // background and ends in a listener report. Returns at once.
    void Apply();
    // The switches of the settings model (check boxes, tray items) reach the
    // workers now; the number and text fields wait for Apply, and nothing
    // is saved or restarted.
    void PublishSwitches();
    // Reads "Vellostore.ini" again and applies it, and the list files
    // written by another program since they were read (the daemon's SIGHUP).
    // The statistics are saved; the settings file is left as it is.
    void Reload();
    // The listener the applied settings want, when it is not what runs: its
    // port was held by another program (one still stopping), or no thread
    // could restart it. The daemon has nobody to press Apply, and runs on.
    void RetryListener();

    // One pass of the application thread: the monitor queue is drained.
    // Returns a failure of the cleaning run, else TakeUserMessages().
    std::optional<std::string> IdlePass();
    // What the user must hear of since last asked, one line each: files
    // that could not be saved (after ShutDown: what the user's edits and
    // counts did not reach), a cache folder that could not be made. A file
    // that keeps failing is told once, until a save of it succeeds.
    std::optional<std::string> TakeUserMessages();
    // Some file could not be saved at its last attempt.
    bool SavesFailed() const { return !failingFiles_.empty(); }
    // How the last listener restart ended, once (see Apply).
    std::optional<ListenerReport> TakeListenerReport() { return listener_.TakeReport(); }
    // The 100 ms tick: statistics are saved every 1801 ticks.
    void Tick100ms();
    // The one-second tick: the internet bytes of the last second (the
    // traffic chart's sample).
    std::int64_t Tick1s();

    // The desktop session is ending: what the shutdown would save is saved
    // now, while the proxy goes on serving. The display may go before the
    // quit arrives, and the process with it, saving nothing.
    void SaveForSessionEnd();

    // The shutdown sequence: producing stops, the cleaning run and a
    // listener restart end, the listener stops (every connection ends),
    // what is still queued is applied, settings and statistics are saved,
    // then the six lists, each unless its file holds what the proxy must not
    // overwrite (see ListFileState; the user is told). Throws net::TerminateTimeout when
    // connections do not end in time, after saving all the same.
    void ShutDown();

    // The model the desktop app binds its controls to; Apply() publishes it.
    Settings& SettingsModel() { return settings_; }
    bool AutoRun() const { return autoRun_; }
    // Throws std::system_error when the autostart entry cannot be written.
    void SetAutoRunEnabled(bool enabled);

    const std::filesystem::path& DataDir() const { return dataDir_; }
    std::filesystem::path SettingsFile() const { return dataDir_ / kSettingsFileName; }
    std::filesystem::path StatFile() const { return dataDir_ / "stat.txt"; }
    const AppliedSettings& Applied() const { return applied_; }
    const ListenerControl& Listener() const { return listener_; }
    net::MappedPortServer& Server() { return server_; }
    proxy::Engine& ProxyEngine() { return engine_; }
    proxy::RuleLists& Lists() { return lists_; }
    MonitorModel& Monitor() { return monitor_; }
    StatTable& Statistics() { return statistics_; }
    const TrafficCounters& Traffic() const { return consumer_.Traffic(); }
    // "stat.txt" now, its columns put back in the users' order first (a
    // user's new name is saved at once). A failure leaves the file as it
    // was; the table is saved again with the settings.
    void SaveStatistics();
    // The users page's save: users.lst, over a file changed elsewhere too
    // (kept aside), and with it "stat.txt" whose columns follow its rows.
    // What went wrong, or the file kept aside, for the user (UTF-8).
    std::optional<std::string> SaveUsersFromWindow();
    // The cleaning tab's run over the cache folder in use.
    void StartCleaning(cache::CleaningOptions& options);
    // vellostored's run, by the cleaning keys the settings file holds now
    // (read afresh, so that an edit needs no SIGHUP first); false when none
    // asks for anything. Throws std::system_error when the file cannot be
    // read.
    bool StartCleaningBySettingsFile();
    CleaningRun& Cleaning() { return cleaning_; }
    // Waits for the background sweeps of the cache folder (tests).
    void WaitForCacheSweeps() { cacheJobs_.Wait(); }

private:
    // Settings model -> applied fields, cache folder, published
    // configuration; returns the listener target they ask for.
    ListenerTarget PublishSettings();
    // The five rule lists in their load order, then the users list:
    // visit(list, fileName).
    template <class Visit>
    void ForEachList(const Visit& visit);
    std::filesystem::path ListFile(std::string_view name) const { return dataDir_ / name; }
    void LoadLists();
    // A list read only in part is told of.
    template <class List>
    void LoadList(List& list, std::string_view name);
    // Names the enabled rows whose pattern does not compile, for the user.
    // Rows of a list the start tells of one by one; the rest are counted.
    static constexpr std::size_t kNamedAtStart = 10;
    void TellRulesThatCannotMatch(const RuleList& list, std::string_view name);
    void TellRulesThatRefuseWhatTheyDoNotName(const RuleList& list, std::string_view name);
    void TellPasswordsInClear(const UsersList& list, std::string_view name);
    void TellAddressesThatAreNone(const UsersList& list, std::string_view name);
    void LoadStatistics();
    bool StatisticsChangedElsewhere() const;
    // This run writes "stat.txt": read whole, not replaced by another program.
    bool SavesStatistics() const { return !statisticsUnread_ && !StatisticsChangedElsewhere(); }
    // SaveStatistics with the users list saved by saveUsers (false when it
    // failed) when edited here: both files change, or neither.
    void SaveStatisticsWith(const std::function<bool()>& saveUsers);
    void SaveLists();
    template <class List>
    void SaveList(List& list, std::string_view name);
    // A list file changed by another program, with nothing edited here since
    // it was read, is read again: it is what the user now wants. A user
    // renamed there keeps the statistics column.
    template <class List>
    void ReloadIfEditedElsewhere(List& list, std::string_view name);
    // The settings file was changed by another program and nothing was
    // changed here since it was read or written.
    bool SettingsFileIsTheUsers() const;
    void SaveSettingsAndStatistics();
    // Restarts or retargets the listener where the settings now point.
    void FollowTarget(const ListenerTarget& target);
    // Settings, statistics and lists, as the exit saves them.
    void SaveEverything();
    // Runs `save` for the file `name`; a failure leaves the file as it was
    // and is kept for TakeUserMessages.
    void SaveFile(std::string_view name, const std::function<void()>& save);
    // Once per folder setting that leaves the proxy without a cache.
    void TellIfLinkLeadsNowhere(const std::filesystem::path& file);
    void TellIfDataFolderUnwritable();
    // `makeError`: why the start could not make the folder, if it could not.
    void TellIfNoCacheFolder(const std::filesystem::path& root, int makeError);
    // The settings file's values that could not be read, "key=value".
    void TellNotUnderstood(const std::vector<std::string>& keys);
    // Once per Windows drive path in the setting, naming the folder used
    // instead.
    void TellIfWindowsCacheFolder(const std::string& setting, const std::filesystem::path& root);

    std::filesystem::path dataDir_;
    std::filesystem::path executable_;
    const Clock& clock_;
    Settings settings_;
    // The settings as the file held them when last read or written, and the
    // file's version then: a file changed by hand since, with nothing
    // changed here, is the user's and is not written over.
    Settings fileSettings_;
    FileVersion fileSettingsVersion_;
    Snapshot<proxy::ProxyConfig> published_;
    AppliedSettings applied_;
    bool autoRun_ = false;
    proxy::RuleLists lists_;
    proxy::Engine engine_;
    MonitorModel monitor_;
    StatTable statistics_;
    // An unreadable "stat.txt" keeps its history: this run's counts are
    // shown but never written over it.
    bool statisticsUnread_ = false;
    // The file's version when last read or written: one changed since by
    // another program is kept, this run's counts left unsaved.
    FileVersion statisticsVersion_;
    bool statisticsChangedTold_ = false;
    QueueConsumer consumer_;
    proxy::ProxyHandlers handlers_;
    net::MappedPortServer server_;
    // After the server, so that a running restart ends before it goes.
    ListenerControl listener_;
    CleaningRun cleaning_;
    // A crash's leftovers are swept once per cache folder, not at every
    // Apply; the exit stops a sweep still walking.
    std::atomic<bool> stopSweeps_{false};
    std::filesystem::path sweptCacheRoot_;
    BackgroundJobs cacheJobs_;
    int statSaveTicks_ = 0;
    std::set<std::string> failingFiles_;
    std::string untold_;  // lines for the user, not yet taken
    std::filesystem::path cacheFolderTold_;
    std::string windowsCacheFolderTold_;  // the setting last told of, in the code page
};

}  // namespace vs
