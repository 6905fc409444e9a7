#include "zemtrafo_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cstdio>

namespace zemtrafo {

namespace {

QString qs(const std::string& s) { return QString::fromLocal8Bit(s.c_str()); }

std::string str(const QString& s) { return s.toLocal8Bit().toStdString(); }

void messageLog(const Zem::ErrorLog& log) {
  for (const QString& entry : log.getEntries()) message(str(entry));
}

}  // namespace

void message(const std::string& text) { std::fprintf(stderr, "zemtrafo: %s\n", text.c_str()); }

bool writeFileSafely(const std::string& path, const std::string& content) {
  QSaveFile file(qs(path));
  file.setDirectWriteFallback(false);
  // Unbuffered, so that a full disk shows in write() and not after commit().
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    message("cannot open file for writing: " + path);
    return false;
  }
  const qint64 size = qint64(content.size());
  if (file.write(content.data(), size) != size || !file.commit()) {
    file.cancelWriting();
    message("cannot write file: " + path);
    return false;
  }
  return true;
}

bool exportReportSafely(const Zem::LastAndGlobalTransformation& record, const std::string& path) {
  const QString target = qs(path);
  QTemporaryFile temporary(QFileInfo(target).absoluteDir().filePath(QStringLiteral(".zemtrafo-report-XXXXXX")));
  if (!temporary.open()) {
    message("cannot open file for writing: " + path);
    return false;
  }
  temporary.close();
  Zem::ErrorLog log;
  if (!record.exportASCII(temporary.fileName(), &log)) {
    messageLog(log);
    return false;
  }
  if (std::rename(QFile::encodeName(temporary.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
    message("cannot write file: " + path);
    return false;
  }
  temporary.setAutoRemove(false);  // it is the report now
  return true;
}

bool loadRecord(const std::string& path, Zem::LastAndGlobalTransformation* record) {
  Zem::ErrorLog log;
  if (record->load(qs(path), &log, 0, 0)) return true;
  message(path + ": not a readable .trafo record");
  messageLog(log);
  return false;
}

bool readPoints(const std::string& path, Zem::PointNames* names, Zem::PointFile* file) {
  if (file->read(qs(path), names)) return true;
  message(str(file->getError()));
  return false;
}

bool loadPrevious(const RecordOptions& options, std::unique_ptr<Zem::LastAndGlobalTransformation>* previous) {
  if (options.global.empty()) return true;
  *previous = std::make_unique<Zem::LastAndGlobalTransformation>(
      Zem::Transformation::identity(), false, Zem::Transformation::identity(), false);
  return loadRecord(options.global, previous->get());
}

bool writeRecord(const Zem::Transformation& t, const Zem::LastAndGlobalTransformation* previous,
                 const RecordOptions& options) {
  Zem::Transformation global = t;
  if (previous && previous->isGlobalTransformationValid()) {
    global = previous->getGlobalTransformation();
    global.append(t);
  }
  Zem::LastAndGlobalTransformation record(t, true, global, true);
  const std::string path = !options.out.empty() ? options.out : options.global;
  if (!path.empty()) {
    Zem::ErrorLog log;
    if (!record.save(qs(path), &log, 0, 0)) {
      messageLog(log);
      return false;
    }
  }
  return options.report.empty() || exportReportSafely(record, options.report);
}

}  // namespace zemtrafo
