// Build tool: draws the program's icon at the sizes of the hicolor theme from its one source
// picture. usage: r9-icon-sizes SOURCE.png OUTPUT_DIR NAME SIZE...
// Writes OUTPUT_DIR/SIZExSIZE/apps/NAME.png for every size.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: r9-icon-sizes SOURCE.png OUTPUT_DIR NAME SIZE...\n");
    return 2;
  }
  const QImage source(QString::fromLocal8Bit(argv[1]));
  if (source.isNull()) {
    std::fprintf(stderr, "r9-icon-sizes: cannot read %s\n", argv[1]);
    return 1;
  }
  for (int i = 4; i < argc; ++i) {
    const int size = QString::fromLatin1(argv[i]).toInt();
    if (size <= 0) return 2;
    const QString dir = QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
    QDir().mkpath(dir);
    const QImage scaled = source.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    const QString file = dir + QLatin1Char('/') + QString::fromLocal8Bit(argv[3]) + QStringLiteral(".png");
    if (!scaled.save(file, "PNG")) {
      std::fprintf(stderr, "r9-icon-sizes: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
