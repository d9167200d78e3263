#pragma once
#include <QString>

// The master side of a pseudo-terminal, with the slave side kept open here as
// well: a client may then close and reopen the slave without the master
// seeing a hang-up, and the line speed the client set can be read back.
class PtyLine {
public:
    PtyLine() = default;
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;
    ~PtyLine() { close(); }

    // Opens a new pseudo-terminal in raw mode at 9600 baud. False with
    // errorString() set on failure.
    bool open();
    // Closes both sides: a client on the slave sees the far end vanish.
    // Removes the link made by link().
    void close();
    bool isOpen() const { return master >= 0; }
    int masterFd() const { return master; }
    QString slavePath() const { return slave; }
    // The output speed of the slave side in baud (what the client set); 0
    // when closed or not a standard speed.
    int baud() const;

    // Makes `path` a symbolic link to the slave, replacing an older link (but
    // never a file that is not a link).
    bool link(const QString &path);
    QString linkPath() const { return linked; }
    QString errorString() const { return error; }

private:
    bool fail(const QString &what);
    void unlink();

    int master = -1;
    int slaveKeep = -1;
    QString slave;
    QString linked;
    QString error;
};
