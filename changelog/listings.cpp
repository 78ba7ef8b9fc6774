// The log as the views read it: its summary, its steps, and listings of its
// changes, which hold what they have yet to show once the log changes.
#include "changelog/stored_change_log.h"

#include <algorithm>
#include <limits>

ChangeLog::Summary StoredChangeLog::summary()
{
    const Access access(*this);
    const LogIndex& current = log();
    return Summary{current.position(),     current.appliedSteps(), current.undoneSteps(), current.insertedCount(),
                   current.updatedCount(), current.deletedCount(), current.isClean()};
}

std::vector<ChangeLog::StepSummary> StoredChangeLog::steps()
{
    const Access access(*this);
    const LogIndex& current = log();
    const int position = this->position();
    const bool open = !current.lowestStepAbove(position);
    std::vector<StepSummary> all;
    all.reserve(current.allSteps().size());
    for (const auto& [step, held] : current.allSteps()) {
        const StepState state = step > position            ? StepState::Undone
                                : step == position && open ? StepState::Open
                                                           : StepState::Applied;
        all.push_back({step, state, held.inserted, held.updated, held.deleted, held.label});
    }
    return all;
}

// Walks the index from where it stands: the rows of one kind at a time, each
// found from the key after the last one.
class StoredChangeLog::Listing : public ChangeListing {
public:
    explicit Listing(StoredChangeLog& changeLog) : changeLog(changeLog)
    {
        const Access access(changeLog);
        changeLog.listings.push_back(this);
    }
    ~Listing() override
    {
        const Access access(changeLog);
        const auto listed = std::find(changeLog.listings.begin(), changeLog.listings.end(), this);
        if (listed != changeLog.listings.end())
            changeLog.listings.erase(listed);
    }

    std::optional<RowChange> next() override
    {
        const Access access(changeLog);
        if (!rest)
            return walk(changeLog.log());
        if (at == rest->size())
            return std::nullopt;
        return (*rest)[at++];
    }

    void holdRest(const LogIndex& current)
    {
        rest.emplace();
        while (const std::optional<RowChange> change = walk(current))
            rest->push_back(*change);
    }

private:
    enum class Phase { Stored, Deleted, Done };

    std::optional<RowChange> walk(const LogIndex& current)
    {
        while (phase != Phase::Done) {
            std::optional<RowChange> found;
            if (phase == Phase::Stored) {
                if (const std::optional<qint64> stored = current.firstStoredFrom(from)) {
                    const std::optional<qint64> origin = current.originOf(*stored);
                    found = RowChange{origin ? ChangeKind::Update : ChangeKind::Insert, stored, origin};
                }
            } else if (const std::optional<qint64> deleted = current.firstDeletionFrom(from)) {
                found = RowChange{ChangeKind::Delete, std::nullopt, deleted};
            }
            const std::optional<qint64> key = !found                   ? std::nullopt
                                              : phase == Phase::Stored ? found->rowid
                                                                       : found->originalRowid;
            if (!key || *key == std::numeric_limits<qint64>::max()) {
                phase = phase == Phase::Stored ? Phase::Deleted : Phase::Done;
                from = std::numeric_limits<qint64>::min();
            } else {
                from = *key + 1;
            }
            if (found)
                return found;
        }
        return std::nullopt;
    }

    StoredChangeLog& changeLog;
    Phase phase = Phase::Stored;
    qint64 from = std::numeric_limits<qint64>::min();
    // What it had yet to show when the log first changed.
    std::optional<std::vector<RowChange>> rest;
    size_t at = 0;
};

std::unique_ptr<ChangeLog::ChangeListing> StoredChangeLog::listChanges()
{
    return std::make_unique<Listing>(*this);
}

std::optional<ChangeLog::RowChange> StoredChangeLog::changeOf(qint64 rowid)
{
    const Access access(*this);
    const LogIndex& current = log();
    if (!current.isStored(rowid))
        return std::nullopt;
    const std::optional<qint64> origin = current.originOf(rowid);
    return RowChange{origin ? ChangeKind::Update : ChangeKind::Insert, rowid, origin};
}

void StoredChangeLog::holdListings(const LogIndex& current)
{
    for (Listing* listing : listings)
        listing->holdRest(current);
    listings.clear();
}
