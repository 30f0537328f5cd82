// Descriptors 0, 1 and 2 that a program was started without (`>&-`, a
// service manager's closed stdin). Left closed, the next open takes the
// lowest free number: a port or a PC file would become standard output or
// error, and the program's own text would go onto the serial line or into
// the file. Each program's main calls this before anything opens a
// descriptor. Windows hands out handles, not the lowest number: nothing to
// do there.
#ifndef TOVREL_SERIAL_STANDARDDESCRIPTORS_H
#define TOVREL_SERIAL_STANDARDDESCRIPTORS_H

// Which of them were closed; each now stands open on /dev/null (or, where
// there is none, on something no read or write reaches), and a program
// still treats output to a closed one as lost. Only a process that can
// open no descriptor at all keeps one closed, and then it opens no port
// or file either.
struct FilledStandardDescriptors {
    bool input = false;
    bool output = false;
    bool error = false;
};

#ifdef _WIN32
inline FilledStandardDescriptors FillClosedStandardDescriptors() { return {}; }
#else
FilledStandardDescriptors FillClosedStandardDescriptors();
#endif

#endif
