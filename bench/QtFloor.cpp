// The least a Qt Widgets program does: start, run its event loop once, end. The floor
// that the application's own start-up is compared with.
#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QTimer::singleShot(0, &application, &QCoreApplication::quit);
  return application.exec();
}
