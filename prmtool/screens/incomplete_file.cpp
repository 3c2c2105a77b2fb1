#include "incomplete_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace prm {

QString incompleteName(const QString& target) {
    return target + QStringLiteral(".incomplete");
}

std::FILE* openIncomplete(const QString& target) {
    const QByteArray path = QFile::encodeName(incompleteName(target));
    // Emptied only once it is ours: another writer of the same file keeps its lines.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && ftruncate(fd, 0) == 0) file = fdopen(fd, "w+b");
    if (!file) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

QString completeFile(std::FILE*& file, const QString& target) {
    if (!file) return {};
    // A write that failed (a full disk) leaves the file short: it never takes the name.
    errno = 0;
    bool written = std::fflush(file) == 0 && !std::ferror(file) && fsync(fileno(file)) == 0;
    int error = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    file = nullptr;
    if (written && std::rename(QFile::encodeName(incompleteName(target)).constData(),
                               QFile::encodeName(target).constData()) == 0) {
        return {};
    }
    if (written) error = errno;
    return QString::fromLocal8Bit(std::strerror(error));
}

QString keepIncomplete(std::FILE*& file, const QString& target) {
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    return QStringLiteral("File %1 incomplete: kept as %2").arg(target, incompleteName(target));
}

}  // namespace prm
