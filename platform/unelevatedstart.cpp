#include "unelevatedstart.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>
#endif

QString quoteWindowsArgument(const QString &argument)
{
    const bool needsQuotes = argument.isEmpty() || argument.contains(QLatin1Char(' '))
        || argument.contains(QLatin1Char('\t')) || argument.contains(QLatin1Char('"'));
    if (!needsQuotes)
        return argument;
    QString quoted = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        // backslashes are literal except in front of a quote, where each one must be doubled and
        // the quote itself escaped
        if (c == QLatin1Char('"'))
            quoted += QString(2 * backslashes + 1, QLatin1Char('\\'));
        else
            quoted += QString(backslashes, QLatin1Char('\\'));
        quoted += c;
        backslashes = 0;
    }
    // trailing backslashes stand in front of the closing quote
    quoted += QString(2 * backslashes, QLatin1Char('\\'));
    quoted += QLatin1Char('"');
    return quoted;
}

QString windowsCommandLine(const QStringList &arguments)
{
    QStringList quoted;
    quoted.reserve(arguments.size());
    for (const QString &argument : arguments)
        quoted.append(quoteWindowsArgument(argument));
    return quoted.join(QLatin1Char(' '));
}

#ifdef Q_OS_WIN
namespace {
using Microsoft::WRL::ComPtr;

bool isElevated(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevated
        = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
        && elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

// A VARIANT holding a copy of the text, freed when it goes out of scope.
class TextVariant
{
public:
    explicit TextVariant(const QString &text)
    {
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal
            = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), UINT(text.size()));
    }
    ~TextVariant() { VariantClear(&value); }
    TextVariant(const TextVariant &) = delete;
    TextVariant &operator=(const TextVariant &) = delete;
    bool isValid() const { return value.bstrVal != nullptr; }

    VARIANT value;
};

// The Shell object of the desktop's own folder view. It lives in explorer's process, so what it
// starts gets explorer's token: the desktop user's, never elevated.
ComPtr<IShellDispatch2> desktopShell(DWORD *shellProcessId)
{
    ComPtr<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&windows))))
        return {};
    VARIANT location;
    VariantInit(&location);
    location.vt = VT_I4;
    location.lVal = CSIDL_DESKTOP;
    VARIANT root;
    VariantInit(&root);
    long window = 0;
    ComPtr<IDispatch> desktop;
    // S_FALSE: no desktop window, e.g. another shell than explorer runs
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop)
            != S_OK
        || !desktop)
        return {};
    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.As(&services))
        || FAILED(services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(&browser)))
        || FAILED(browser->QueryActiveShellView(&view))
        || FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&background)))
        || FAILED(background.As(&folderView)) || FAILED(folderView->get_Application(&application))
        || !application || FAILED(application.As(&shell)))
        return {};
    *shellProcessId = 0;
    GetWindowThreadProcessId(reinterpret_cast<HWND>(LongToHandle(window)), shellProcessId);
    return shell;
}

// An elevated shell (UAC switched off, or Wine, where every process is) would start things with
// the same rights as this process: then a direct start serves as well and keeps this process's
// environment. A shell that cannot be asked is taken to be the desktop user's ordinary one.
bool shellIsElevated(DWORD shellProcessId)
{
    if (shellProcessId == 0)
        return false;
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellProcessId);
    if (!process)
        return false;
    const bool elevated = isElevated(process);
    CloseHandle(process);
    return elevated;
}

bool shellExecute(const QString &file, const QString &parameters, const QString &directory,
    const QString &operation)
{
    DWORD shellProcessId = 0;
    const ComPtr<IShellDispatch2> shell = desktopShell(&shellProcessId);
    if (!shell || shellIsElevated(shellProcessId))
        return false;
    const TextVariant fileText(file);
    const TextVariant parametersText(parameters);
    const TextVariant directoryText(directory);
    const TextVariant operationText(operation);
    if (!fileText.isValid() || !parametersText.isValid() || !directoryText.isValid()
        || !operationText.isValid())
        return false;
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    // the updater holds the foreground; without this the started window could open behind others
    if (shellProcessId != 0)
        AllowSetForegroundWindow(shellProcessId);
    // only S_OK counts: Wine's shell answers S_FALSE for a start that failed, and the caller then
    // tries a direct start
    return shell->ShellExecute(fileText.value.bstrVal, parametersText.value, directoryText.value,
               operationText.value, show)
        == S_OK;
}

// Wine has no UAC: every process there holds the rights this one has, and a start through its
// shell was now and then never seen to happen on a busy machine.
bool runsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
} // namespace

bool startAsDesktopUser(const QString &file, const QString &parameters, const QString &directory,
    const QString &operation)
{
    // an ordinary process has no rights to shed, and a direct start keeps its environment
    if (!isElevated(GetCurrentProcess()) || runsUnderWine())
        return false;
    const HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // RPC_E_CHANGED_MODE: this thread already uses COM in the other model, which serves as well
    if (FAILED(initialised) && initialised != RPC_E_CHANGED_MODE)
        return false;
    const bool started = shellExecute(file, parameters, directory, operation);
    if (SUCCEEDED(initialised))
        CoUninitialize();
    return started;
}
#else
bool startAsDesktopUser(const QString &file, const QString &parameters, const QString &directory,
    const QString &operation)
{
    Q_UNUSED(file)
    Q_UNUSED(parameters)
    Q_UNUSED(directory)
    Q_UNUSED(operation)
    return false;
}
#endif
