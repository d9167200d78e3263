#include "app/bussearch.h"
#include "link/apperror.h"
#include "link/transaction.h"
#include "polling/sharedstate.h"

BusSearch::BusSearch(Transaction &tx, SharedState &state, QObject *parent)
    : QObject(parent), query(tx), s(state)
{
    connect(&query, &Transaction::finished, this, &BusSearch::onReply);
    connect(&query, &Transaction::failed, this, &BusSearch::onFailed);
}

bool BusSearch::start()
{
    if (loopRunning)
        return false;
    SearchActive = true;
    loopRunning = true;
    address = FirstAddress;
    probe();
    return true;
}

void BusSearch::probe()
{
    emit probeStarted(uint8_t(address));
    if (!query.query(uint8_t(address), FnReadHolding, 1, 24))
        onFailed(QStringLiteral("Линия занята: предыдущий обмен не завершен"));
}

void BusSearch::onReply(uint8_t count)
{
    if (!loopRunning)
        return;
    emit probed(uint8_t(address));
    if (count != 0) {
        emit replyLamp(true);
        // Any frame with a good CRC is an answer, an exception reply included.
        if (s.ExchangeBuffer.replyCrcOk(count)) {
            try {
                addev(uint8_t(address));
            } catch (const AppError &e) {
                loopRunning = false;
                emit failed(e.message());
                return;
            }
        }
    } else {
        emit replyLamp(false);
    }
    if (SearchActive && address < LastAddress) {
        ++address;
        probe();
        return;
    }
    loopRunning = false;
    SearchActive = false;
    emit ended();
}

void BusSearch::onFailed(const QString &message)
{
    if (!loopRunning)
        return;
    // A dead port ends the search for good: nothing is left to probe.
    loopRunning = false;
    SearchActive = false;
    emit failed(message);
}
