#ifndef UPDATERAPP_H
#define UPDATERAPP_H

class InstallRights;

// The whole run: start-up, mode, lock, checks, then the update attempts. Returns the exit code.
int runUpdater(int &argc, char **argv);
// the same with the rights decided, and asked for, by rights (a test program substitutes them)
int runUpdater(int &argc, char **argv, InstallRights &rights);

#endif // UPDATERAPP_H
