// The program file. The entry lives with the window, the one folder that may
// name widgets: it registers the window run and its application object, and
// BrixmoorMain does the rest.
#include "app/brixmoor.h"

#include <QApplication>
#include <memory>

int main(int argc, char** argv)
{
    bm::TRunSettings settings;
    settings.MakeWindowApplication = [](int& count, char** values) -> std::unique_ptr<QCoreApplication> {
        return std::make_unique<QApplication>(count, values);
    };
    // The main window is not written yet: without RunMainWindow every normal
    // run is the headless one, as with no display.
    return bm::BrixmoorMain(argc, argv, settings);
}
