# Third-party libraries, all from Debian packages (scripts/install-deps).
find_package(Qt6 REQUIRED COMPONENTS Core)
# The program file (ui/) creates the QApplication of the window run.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(OpenSSL 3 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(TIDY REQUIRED IMPORTED_TARGET tidy)
find_package(Threads REQUIRED)
