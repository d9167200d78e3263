#include "session/passoutcome.h"
#include "link/wirelines.h"

QString replyLogLine(const PassOutcome &o)
{
    switch (o.verdict) {
    case PassOutcome::Verdict::Timeout: return QStringLiteral("TimeOuterror");
    case PassOutcome::Verdict::CrcError: return crcErrorLine(o.frame);
    case PassOutcome::Verdict::Refused: return refusedReplyLine(o.kind, o.frame, o.count);
    case PassOutcome::Verdict::Acknowledged: return ackLine(o.frame);
    case PassOutcome::Verdict::Status: return statusLine(o.frame);
    case PassOutcome::Verdict::Unconfirmed:
        return QStringLiteral("Команда %1 не подтверждена: порт потерян").arg(o.commandCode);
    }
    return {};
}
