#ifndef PUBLISHHELP_H
#define PUBLISHHELP_H

#include <QString>

// what update-publish --help says before the options
QString publishDescription();

#endif // PUBLISHHELP_H
