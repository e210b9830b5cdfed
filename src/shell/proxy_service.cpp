#include "shell/proxy_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <vector>

#include "base/atomic_file.h"
#include "base/blanks.h"
#include "base/cp1251.h"
#include "cache/cache_store.h"
#include "net/host_lookup.h"

namespace vs {
namespace {

// A row named at the start as the file holds it (comments and blank lines
// count), with the number the window's grid gives it.
template <class List>
std::string WhereRowStands(const List& list, std::size_t row) {
    const std::size_t line = list.FileState().LineOfRow(row);
    const std::string number = "№" + std::to_string(row + 1);
    return line == 0 ? number : "строка " + std::to_string(line) + " (" + number + ")";
}

// Why a save failed, in the window's language where the reason is a common
// one: the user needs the cause, not the temporary file's name.
std::string ReasonOf(const std::exception& failure) {
    const auto* system = dynamic_cast<const std::system_error*>(&failure);
    if (system == nullptr || system->code().category() != std::generic_category()) {
        return failure.what();
    }
    switch (system->code().value()) {
        case ENOSPC:
        case EDQUOT:
            return "нет места на диске";
        case EACCES:
        case EPERM:
            return "нет прав на запись";
        case EROFS:
            return "диск только для чтения";
        default:
            return system->code().message();
    }
}

// The error of opening the file for reading; 0 when it opens.
int OpenError(const std::filesystem::path& file) {
    const int fd = OpenFileToRead(file);  // a FIFO's open would wait for a writer
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    return 0;
}

}  // namespace

std::string SaveFailureMessage(std::string_view file, const std::exception& failure) {
    return "Не удалось сохранить " + std::string(file) + ": " + ReasonOf(failure);
}

std::optional<std::string> OtherVersionKeptMessage(std::string_view file, OtherVersionKept why) {
    if (why == OtherVersionKept::kNone) {
        return std::nullopt;
    }
    const std::string how =
        why == OtherVersionKept::kChangedElsewhere
            ? " изменён и вне окна"
            : " был прочитан не весь (строки, которых прокси не понял, не в окне)";
    return "Список " + std::string(file) + how +
           ": записан из окна, а файл, каким он был, сохранён как " + std::string(file) + ".old";
}

std::string DataFolderInUseMessage(const std::filesystem::path& folder) {
    return "Папка " + folder.string() +
           " уже занята другим запуском Vellostore: у одной папки один прокси";
}

std::string NoDataFolderMessage(const std::filesystem::path& folder) {
    return "Нет папки данных " + folder.string() + ": проверьте VELLOSTORE_HOME или создайте папку";
}

std::optional<std::string> NobodyAdmittedMessage(const UsersSnapshot& users) {
    for (const UserRow& row : users.rows) {
        if (row.enable && !row.name.empty()) {
            return std::nullopt;
        }
    }
    return "В списке " + std::string(kUsersFileName) +
           " нет ни одного включённого пользователя: прокси никого не допускает (407)";
}

// A caching proxy that stores nothing would otherwise look like one whose
// cache never works.
std::optional<std::string> NothingCachedMessage(const RuleList& cache) {
    for (const auto& row : cache.Snapshot()->rows) {
        if (row->Cells().enable && row->CompiledPattern()) {
            return std::nullopt;
        }
    }
    return "В списке " + std::string(cache.Info().fileName) +
           " нет ни одного включённого правила: ответы не сохраняются в кеш (правило \".\" "
           "сохраняет все)";
}

ProxyService::ProxyService(std::filesystem::path dataDir, std::filesystem::path executable,
                           proxy::LogSink log, const Clock& clock, std::size_t keepMonitorRows,
                           const net::HostLookup& hosts)
    : dataDir_(std::move(dataDir)),
      executable_(std::move(executable)),
      clock_(clock),
      engine_(published_, lists_, clock, hosts),
      monitor_(keepMonitorRows,
               [this](std::size_t row) {
                   return engine_.StopList().Tracks(static_cast<std::int32_t>(row));
               }),
      consumer_(engine_.Queue(), monitor_, lists_, std::move(log), &statistics_, clock),
      handlers_(engine_),
      server_(handlers_),
      listener_(server_, net::ListenerSettings{}, hosts) {}

std::optional<std::string> ProxyService::StartUp() {
    // The caller holds the data folder, so no other instance is saving
    // there: a temporary found now is one a killed process left.
    std::vector<std::string_view> savedFiles = {kSettingsFileName, kStatFileName};
    ForEachList([&savedFiles](auto&, std::string_view name) { savedFiles.push_back(name); });
    RemoveSaveLeftovers(dataDir_, savedFiles);
    const FileVersion read = FileVersion::Of(SettingsFile());
    std::vector<std::string> notUnderstood;
    settings_ = LoadSettings(SettingsFile(), &notUnderstood);
    TellNotUnderstood(notUnderstood);
    TellIfLinkLeadsNowhere(SettingsFile());
    TellIfDataFolderUnwritable();
    const ListenerTarget target = PublishSettings();
    fileSettings_ = settings_;
    fileSettingsVersion_ = read;
    autoRun_ = AutoRunEnabled(executable_, dataDir_);
    LoadLists();
    // Browsers would only meet 407, with nothing here to say why.
    if (auto nobody = NobodyAdmittedMessage(*lists_.users.Snapshot())) {
        untold_ += *nobody + "\n";
    }
    if (auto nothing = NothingCachedMessage(lists_.cache); nothing && settings_.cacheListEnabled) {
        untold_ += *nothing + "\n";
    }
    LoadStatistics();
    engine_.producingEnabled = true;
    engine_.closing = false;
    // The listener opens last, so the first browsers meet loaded lists
    // rather than an empty users list that would refuse them.
    return listener_.StartNow(target).message;
}

ListenerTarget ProxyService::PublishSettings() {
    auto previous = engine_.Config();
    applied_ = ApplySettings(settings_, previous ? previous->freshWindow : std::chrono::seconds(0));
    cache::CacheDir cacheDir;
    int makeError = 0;
    settings_.cacheDir = cache::CacheDirPrepare(settings_.cacheDir, dataDir_, cacheDir, &makeError);
    TellIfWindowsCacheFolder(settings_.cacheDir, cacheDir.Root());
    TellIfNoCacheFolder(cacheDir.Root(), makeError);
    // Temporaries a crash left behind; live writers hold their files locked
    // and keep them. The walk may take long on a big cache: nobody waits.
    if (cacheDir.Root() != sweptCacheRoot_) {
        sweptCacheRoot_ = cacheDir.Root();
        cacheJobs_.Post(
            [this, root = cacheDir.Root()] { cache::RemoveTemporaries(root, stopSweeps_); });
    }
    const ListenerTarget& running = listener_.Target();
    if (applied_.parentHost != running.parentHost || applied_.parentPort != running.parentPort) {
        listener_.HoldParent();  // until the restart or retarget has checked the new one
    }
    published_.Publish(
        std::make_shared<const proxy::ProxyConfig>(ProxyConfigOf(settings_, applied_, cacheDir)));
    server_.SetLimits(ConnectionLimitsOf(settings_));
    return ListenerTarget{applied_.port, applied_.parentHost, applied_.parentPort};
}

void ProxyService::Apply() {
    const ListenerTarget target = PublishSettings();
    SaveSettingsAndStatistics();
    FollowTarget(target);
}

void ProxyService::FollowTarget(const ListenerTarget& target) {
    // Switches act through the published configuration; connections only
    // have to go when the proxy listens elsewhere or forwards elsewhere. A
    // parent not in use is nobody's target until it is switched on.
    const ListenerTarget& running = listener_.Target();
    const bool newParent =
        target.parentHost != running.parentHost || target.parentPort != running.parentPort;
    if (target.port != running.port || (newParent && settings_.useParent) ||
        (!listener_.Listening() && !listener_.Busy())) {
        listener_.Restart(target);
    } else if (newParent) {
        listener_.Retarget(target);
    }
}

void ProxyService::PublishSwitches() {
    auto current = engine_.Config();
    cache::CacheDir cacheDir = current ? current->cacheDir : cache::CacheDir{};
    published_.Publish(std::make_shared<const proxy::ProxyConfig>(
        ProxyConfigOf(settings_, applied_, std::move(cacheDir))));
}

void ProxyService::Reload() {
    consumer_.Drain();  // the traffic counted so far belongs in the save below
    const FileVersion read = FileVersion::Of(SettingsFile());
    std::vector<std::string> notUnderstood;
    Settings reread = LoadSettings(SettingsFile(), &notUnderstood);
    TellNotUnderstood(notUnderstood);
    reread.onlyFromCacheEnabled = settings_.onlyFromCacheEnabled;  // not a stored setting
    settings_ = reread;
    // A list file edited by hand since it was read is what the user now
    // wants; the others keep the hits counted since.
    ForEachList([this](auto& list, std::string_view name) { ReloadIfEditedElsewhere(list, name); });
    const ListenerTarget target = PublishSettings();
    // Taken as the file holds it, as at the start, and not written back: a
    // second edit made while this one was applied would be written over,
    // and the next save must find the file the user's if it changes again.
    fileSettings_ = settings_;
    fileSettingsVersion_ = read;
    // A history put in place by hand is what the user now wants, as a list
    // is; the counts since the last save go with the file replaced.
    if (StatisticsChangedElsewhere()) {
        statistics_ = StatTable();
        LoadStatistics();
    }
    SaveStatistics();
    FollowTarget(target);
}

void ProxyService::RetryListener() {
    FollowTarget(ListenerTarget{applied_.port, applied_.parentHost, applied_.parentPort});
}

template <class List>
void ProxyService::ReloadIfEditedElsewhere(List& list, std::string_view name) {
    if (list.FileState().EditedHere() || !list.FileState().ChangedElsewhere(ListFile(name))) {
        return;
    }
    if constexpr (std::is_same_v<List, UsersList>) {
        // A row renamed by hand keeps its statistics column.
        const auto before = list.Snapshot();
        LoadList(list, name);
        statistics_.FollowRenamedUsers(*before, *list.Snapshot());
        // Emptied or switched off by hand: browsers would only meet 407.
        if (auto nobody = NobodyAdmittedMessage(*list.Snapshot())) {
            untold_ += *nobody + "\n";
        }
    } else {
        LoadList(list, name);
    }
}

void ProxyService::LoadLists() {
    ForEachList([this](auto& list, std::string_view name) { LoadList(list, name); });
}

template <class List>
void ProxyService::LoadList(List& list, std::string_view name) {
    if (list.Load(ListFile(name))) {
        // Read whole.
    } else if (const int opened = OpenError(ListFile(name)); opened != 0) {
        // Not a line to look for: the file itself cannot be opened (an
        // account without the right to it).
        untold_ += "Список " + std::string(name) + " не прочитан (" +
                   (opened == EACCES || opened == EPERM ? std::string("нет прав на чтение")
                                                        : std::generic_category().message(opened)) +
                   "): в нём ни одной строки, а файл при выходе не перезаписывается\n";
    } else if (const GridGaps& gaps = list.FileState().Gaps(); gaps.linesLeftOut > 0) {
        untold_ += "Список " + std::string(name) +
                   ": строк не прочитано: " + std::to_string(gaps.linesLeftOut) +
                   " (первая — строка " + std::to_string(gaps.firstLeftOut) +
                   "); они не действуют, остальные действуют, а файл при выходе не "
                   "перезаписывается\n";
    } else {
        untold_ += "Список " + std::string(name) +
                   " прочитан не до конца (строк прочитано: " + std::to_string(list.Count()) +
                   "): остальные строки не действуют, а файл при выходе не перезаписывается\n";
    }
    if constexpr (std::is_same_v<List, RuleList>) {
        TellRulesThatCannotMatch(list, name);
        TellRulesThatRefuseWhatTheyDoNotName(list, name);
    } else {
        TellPasswordsInClear(list, name);
        TellAddressesThatAreNone(list, name);
    }
}

void ProxyService::TellPasswordsInClear(const UsersList& list, std::string_view name) {
    // A list typed in by hand may hold hundreds: the first few are named.
    const std::vector<PasswordInClear>& lines = list.PasswordsInClear();
    for (std::size_t i = 0; i < lines.size() && i < kNamedAtStart; ++i) {
        // The scrambled form holds Windows-1251 only: such a password stays
        // as it was written.
        const bool scramblable =
            cp1251::FromUtf8Exactly(list.Row(lines[i].row).password).has_value();
        untold_ += "Список " + std::string(name) + ", строка " + std::to_string(lines[i].line) +
                   (scramblable ? ": пароль записан открытым текстом; он принят и при "
                                  "сохранении будет скрыт\n"
                                : ": пароль записан открытым текстом; он принят, но "
                                  "останется открытым: в нём есть символы, которых нет в "
                                  "кодировке Windows-1251\n");
    }
    if (lines.size() > kNamedAtStart) {
        untold_ += "Список " + std::string(name) + ", ещё паролей, записанных открытым текстом: " +
                   std::to_string(lines.size() - kNamedAtStart) + "\n";
    }
}

void ProxyService::TellAddressesThatAreNone(const UsersList& list, std::string_view name) {
    // A network written as a range, a mask or a name ("192.168.1.0/24",
    // "192.168.1.*") admits nobody: its users would only see 407s. So does
    // a name with a blank at its edge, which the grid does not show.
    std::size_t told = 0;
    const auto users = list.Snapshot();
    for (std::size_t i = 0; i < users->rows.size() && told < kNamedAtStart; ++i) {
        const UserRow& row = users->rows[i];
        if (row.enable && !TrimBlanks(row.ip).empty() && !net::IsAddress(row.ip)) {
            ++told;
            untold_ += "Список " + std::string(name) + ", " + WhereRowStands(list, i) + ": \"" +
                       row.ip +
                       "\" — не адрес компьютера (диапазоны, маски и имена не действуют): "
                       "строка никого не допускает\n";
        } else if (row.enable && !row.name.empty() && TrimBlanks(row.name) != row.name) {
            // A blank after a name typed by hand is seen nowhere, and no
            // browser sends it: the user would only see 407s.
            ++told;
            untold_ += "Список " + std::string(name) + ", " + WhereRowStands(list, i) +
                       ": в имени \"" + row.name +
                       "\" пробел в начале или в конце; браузеры присылают имя без него\n";
        }
    }
}

void ProxyService::TellRulesThatCannotMatch(const RuleList& list, std::string_view name) {
    // A pattern the matcher refuses matches nothing. In a list of thousands
    // of imported rows the user would never find out which ones are dead;
    // the first few are named, the rest counted.
    // So does one that begins or ends with a blank, which the grid does not
    // show: a URL holds no blank to meet it.
    std::size_t dead = 0;
    const auto snapshot = list.Snapshot();
    for (std::size_t i = 0; i < snapshot->rows.size(); ++i) {
        const RuleRow& row = *snapshot->rows[i];
        const std::string& rule = row.Cells().rule;
        const bool blankEdged = TrimBlanks(rule) != rule;
        if (!row.Cells().enable || rule.empty() || (row.Error().empty() && !blankEdged)) {
            continue;
        }
        if (++dead <= kNamedAtStart) {
            untold_ +=
                "Список " + std::string(name) + ", " + WhereRowStands(list, i) +
                ", правило не действует: " +
                (row.Error().empty() ? "\"" + rule +
                                           "\" начинается или кончается пробелом, а в адресах "
                                           "пробелов не бывает"
                                     : cp1251::ToUtf8(row.Error())) +
                "\n";
        }
    }
    if (dead > kNamedAtStart) {
        untold_ += "Список " + std::string(name) +
                   ", ещё правил, которые не действуют: " + std::to_string(dead - kNamedAtStart) +
                   "\n";
    }
}

void ProxyService::TellRulesThatRefuseWhatTheyDoNotName(const RuleList& list,
                                                        std::string_view name) {
    // A refusal list refuses what it cannot decide, so that padding a URL
    // passes no rule: a rule that cannot decide ordinary URLs refuses pages
    // it does not name, and the user sees only a "rule #" on them.
    // Each such rule costs the engine's whole budget, four times over: past
    // the few named, the rest are left to be found by their authors.
    const auto snapshot = list.Snapshot();
    std::size_t runaway = 0;
    for (std::size_t i = 0; i < snapshot->rows.size() && runaway < kNamedAtStart; ++i) {
        const RuleRow& row = *snapshot->rows[i];
        if (row.Cells().enable && RefusesWhatItDoesNotName(list.Info(), row)) {
            ++runaway;
            untold_ += "Список " + std::string(name) + ", " + WhereRowStands(list, i) + ": " +
                       std::string(kGivesUpWarning) + "\n";
        }
    }
}

template <class Visit>
void ProxyService::ForEachList(const Visit& visit) {
    for (ListKind kind : kLoadOrder) {
        RuleList& list = lists_.Of(kind);
        visit(list, list.Info().fileName);
    }
    visit(lists_.users, kUsersFileName);
}

void ProxyService::SaveFile(std::string_view name, const std::function<void()>& save) {
    const std::string file(name);
    try {
        save();
        failingFiles_.erase(file);
    } catch (const std::exception& e) {
        // The file keeps what it had and the data stays in memory for the
        // next save; the user hears of it once, not at every periodic save.
        if (failingFiles_.insert(file).second) {
            untold_ += SaveFailureMessage(file, e) + "\n";
        }
    }
}

void ProxyService::TellNotUnderstood(const std::vector<std::string>& keys) {
    if (auto message = NotUnderstoodMessage(keys)) {
        untold_ += *message + "\n";
    }
}

void ProxyService::TellIfWindowsCacheFolder(const std::string& setting,
                                            const std::filesystem::path& root) {
    if (!cache::IsWindowsDrive(setting)) {
        windowsCacheFolderTold_.clear();
    } else if (windowsCacheFolderTold_ != setting) {
        windowsCacheFolderTold_ = setting;
        untold_ += "Папка кеша " + setting + " — путь Windows, которого здесь нет: кеш в папке " +
                   root.string() + "\n";
    }
}

void ProxyService::TellIfLinkLeadsNowhere(const std::filesystem::path& file) {
    // A settings file kept on a share that is not mounted yet: the proxy
    // runs on the defaults, which the user would otherwise take for theirs.
    std::error_code error;
    if (std::filesystem::is_symlink(file, error) && !std::filesystem::exists(file, error)) {
        untold_ += "Файл " + file.filename().string() + " — ссылка на " +
                   std::filesystem::read_symlink(file, error).string() +
                   ", которого нет: прокси работает с настройками по умолчанию\n";
    }
}

void ProxyService::TellIfDataFolderUnwritable() {
    // A folder made by root for a service account: the first word would come
    // with the first save that fails, minutes later or at the stop.
    if (::access(dataDir_.c_str(), W_OK | X_OK) != 0) {
        untold_ += "В папку данных " + dataDir_.string() + " нельзя писать (" +
                   ReasonOf(std::system_error(errno, std::generic_category())) +
                   "): настройки, списки и статистика не сохраняются\n";
    }
}

void ProxyService::TellIfNoCacheFolder(const std::filesystem::path& root, int makeError) {
    std::error_code error;
    if (std::filesystem::is_directory(root, error)) {
        // One made by another account (a first try as root) or on a disk
        // mounted read-only: every answer would go unstored without a word.
        if (::access(root.c_str(), W_OK | X_OK) != 0) {
            if (cacheFolderTold_ != root) {
                cacheFolderTold_ = root;
                untold_ += "В папку кеша " + root.string() + " нельзя писать (" +
                           ReasonOf(std::system_error(errno, std::generic_category())) +
                           "): новые ответы не сохраняются\n";
            }
            return;
        }
        // A share, a FAT disk or an older tmpfs: every entry keeps its URL
        // in an extended attribute, and none would be stored.
        if (const int refused = cache::AttributesRefusedIn(root); refused != 0) {
            if (cacheFolderTold_ != root) {
                cacheFolderTold_ = root;
                untold_ += "Файлы в папке кеша " + root.string() +
                           " не хранят расширенных атрибутов (" +
                           ReasonOf(std::system_error(refused, std::generic_category())) +
                           "): новые ответы не сохраняются\n";
            }
            return;
        }
        cacheFolderTold_.clear();
        return;
    }
    // A mistyped folder (its parent missing, a file of that name): the proxy
    // goes on without a cache, which the user would otherwise never learn.
    if (cacheFolderTold_ != root) {
        cacheFolderTold_ = root;
        // The root ends in "/": its own name is the last but one part.
        const std::filesystem::path above =
            root.has_filename() ? root.parent_path() : root.parent_path().parent_path();
        const std::string why =
            makeError == ENOENT   ? "нет папки " + above.string()
            : makeError == EEXIST ? std::string("на её месте файл")
            : makeError == ENOTDIR
                ? std::string("на пути к ней файл")
                : ReasonOf(std::system_error(makeError, std::generic_category()));
        untold_ += "Нет папки кеша " + root.string() + " (создать её не удалось: " + why +
                   "): ответы не сохраняются и не берутся из кеша\n";
    }
}

std::optional<std::string> ProxyService::TakeUserMessages() {
    if (untold_.empty()) {
        return std::nullopt;
    }
    std::string told = std::move(untold_);
    untold_.clear();
    told.pop_back();  // the last line's end
    return told;
}

void ProxyService::SaveLists() {
    // The order the lists have always been saved in at close.
    for (ListKind kind : {ListKind::Black, ListKind::Cache, ListKind::NoReq, ListKind::UrlConverter,
                          ListKind::OnlyFromCache}) {
        RuleList& list = lists_.Of(kind);
        SaveList(list, list.Info().fileName);
    }
    // Edited here, it is saved with the statistics or not at all; held
    // back, it was told of when they failed.
    if (!lists_.users.FileState().EditedHere() || !SavesStatistics()) {
        SaveList(lists_.users, kUsersFileName);
    }
}

template <class List>
void ProxyService::SaveList(List& list, std::string_view name) {
    const std::filesystem::path file = ListFile(name);
    if (list.FileState().MayReplace(file)) {
        SaveFile(name, [&] {
            if (const auto message = OtherVersionKeptMessage(name, list.Save(file))) {
                untold_ += *message + "\n";
            }
        });
    } else if (list.FileState().ReadWhole()) {
        // A list read only in part was told of when it was read.
        untold_ += "Список " + std::string(name) +
                   " изменён другой программой: оставлен как есть, без счётчиков этого запуска\n";
    }
}

void ProxyService::LoadStatistics() {
    statisticsVersion_ = FileVersion::Of(StatFile());
    statisticsChangedTold_ = false;
    statisticsUnread_ =
        !statistics_.Load(StatFile(), settings_.statColumns, lists_.users, clock_.Now());
    if (statisticsUnread_) {
        untold_ +=
            "Файл stat.txt не прочитан целиком: статистика этого запуска не сохраняется, а файл "
            "оставлен как есть\n";
    }
}

void ProxyService::SaveStatistics() {
    SaveStatisticsWith([this] {
        SaveList(lists_.users, kUsersFileName);
        return !failingFiles_.contains(std::string(kUsersFileName));
    });
}

std::optional<std::string> ProxyService::SaveUsersFromWindow() {
    std::optional<std::string> told;
    const auto save = [&] {
        try {
            const OtherVersionKept kept = lists_.users.Save(ListFile(kUsersFileName));
            failingFiles_.erase(std::string(kUsersFileName));
            told = OtherVersionKeptMessage(kUsersFileName, kept);
            return true;
        } catch (const std::exception& e) {
            told = SaveFailureMessage(kUsersFileName, e);
            return false;
        }
    };
    // Unedited, the list moved no column.
    if (!SavesStatistics() || !lists_.users.FileState().EditedHere()) {
        save();
        return told;
    }
    SaveStatisticsWith(save);
    // Held back with the table, whose failure is told as any save's.
    if (lists_.users.FileState().EditedHere() && !told) {
        told = "Список " + std::string(kUsersFileName) +
               " не сохранён: без stat.txt столбцы статистики разошлись бы с пользователями";
    }
    return told;
}

void ProxyService::SaveStatisticsWith(const std::function<bool()>& saveUsers) {
    // The file is read by position at the next start, against "users.lst"
    // as saved: the users' order.
    statistics_.AlignWithUsers(*lists_.users.Snapshot());
    if (statisticsUnread_) {
        return;
    }
    // A history copied in while running (from the Windows program, from a
    // backup) would otherwise go at the next periodic save.
    if (StatisticsChangedElsewhere()) {
        if (!statisticsChangedTold_) {
            statisticsChangedTold_ = true;
            untold_ +=
                "Файл stat.txt изменён другой программой: оставлен как есть, без "
                "счётчиков этого запуска\n";
        }
        return;
    }
    // With a user deleted or added here, the two files saved apart (one of
    // them failing on a full disk, or a crash, a power cut between them)
    // would give every later user's history to another. The table is
    // written first and put in place only once the list is: a failure of
    // either leaves both as they were, still matching.
    const bool withUsers = lists_.users.FileState().EditedHere();
    SaveFile("stat.txt", [&] {
        FileReplacement table = statistics_.PrepareSave(StatFile());
        if (withUsers && !saveUsers()) {
            return;
        }
        table.Commit();
        statisticsVersion_ = FileVersion::Of(StatFile());
        statisticsChangedTold_ = false;
    });
    if (withUsers && failingFiles_.contains("stat.txt")) {
        SaveFile(kUsersFileName, [] {
            throw std::runtime_error(
                "без stat.txt столбцы статистики разошлись бы с пользователями");
        });
    }
}

bool ProxyService::StatisticsChangedElsewhere() const {
    // A file deleted, or something no save can replace, holds no history
    // to lose.
    std::error_code error;
    return std::filesystem::is_regular_file(StatFile(), error) &&
           !(FileVersion::Of(StatFile()) == statisticsVersion_);
}

void ProxyService::SaveSettingsAndStatistics() {
    SaveStatistics();
    settings_.statColumns = statistics_.ColumnCount();
    if (SettingsFileIsTheUsers()) {
        untold_ += "Файл " + std::string(kSettingsFileName) +
                   " изменён другой программой: оставлен как есть\n";
        return;
    }
    SaveFile(kSettingsFileName, [&] {
        SaveSettings(SettingsFile(), settings_);
        fileSettings_ = settings_;
        fileSettingsVersion_ = FileVersion::Of(SettingsFile());
    });
}

bool ProxyService::SettingsFileIsTheUsers() const {
    if (FileVersion::Of(SettingsFile()) == fileSettingsVersion_) {
        return false;
    }
    // What the program keeps for itself (the statistics' width, a switch
    // that is never stored) is no edit of the user's.
    Settings here = settings_;
    here.statColumns = fileSettings_.statColumns;
    here.onlyFromCacheEnabled = fileSettings_.onlyFromCacheEnabled;
    return here == fileSettings_;
}

std::optional<std::string> ProxyService::IdlePass() {
    consumer_.Drain();
    if (auto failure = cleaning_.TakeFailure()) {
        return failure;
    }
    return TakeUserMessages();
}

void ProxyService::StartCleaning(cache::CleaningOptions& options) {
    if (auto config = engine_.Config()) {
        cleaning_.Start(config->cacheDir.Root(), options, clock_.Now());
    }
}

bool ProxyService::StartCleaningBySettingsFile() {
    std::optional<cache::CleaningOptions> options =
        CleaningOptionsOf(LoadSettings(SettingsFile()), clock_.Now());
    if (options) {
        StartCleaning(*options);
    }
    return options.has_value();
}

void ProxyService::Tick100ms() {
    if (++statSaveTicks_ > 1800) {
        statSaveTicks_ = 0;
        SaveStatistics();
    }
}

std::int64_t ProxyService::Tick1s() {
    return consumer_.TakeSecondSample();
}

void ProxyService::SetAutoRunEnabled(bool enabled) {
    SetAutoRun(enabled, executable_, dataDir_);
    autoRun_ = enabled;
}

void ProxyService::SaveEverything() {
    // The statistics file is read by position against the users file at the
    // next start. A users file edited by hand since it was read is kept as
    // it is, so the columns are saved in its order, as a SIGHUP would.
    ReloadIfEditedElsewhere(lists_.users, kUsersFileName);
    SaveSettingsAndStatistics();
    SaveLists();
}

void ProxyService::SaveForSessionEnd() {
    consumer_.Drain();
    SaveEverything();
}

void ProxyService::ShutDown() {
    engine_.producingEnabled = false;
    cleaning_.Stop();
    std::exception_ptr timeout;
    try {
        listener_.StopNow();
    } catch (const net::TerminateTimeout&) {
        timeout = std::current_exception();
    }
    // Every ended connection has queued its last entries: apply them, so the
    // hit counts and traffic saved below are complete.
    consumer_.Drain();
    engine_.closing = true;
    SaveEverything();
    cleaning_.Wait();
    stopSweeps_ = true;
    cacheJobs_.Wait();
    if (timeout) {
        std::rethrow_exception(timeout);
    }
}

}  // namespace vs
