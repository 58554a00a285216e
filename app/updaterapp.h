#ifndef UPDATERAPP_H
#define UPDATERAPP_H

// The whole run: start-up, mode, lock, checks, then the update attempts. Returns the exit code.
int runUpdater(int &argc, char **argv);

#endif // UPDATERAPP_H
