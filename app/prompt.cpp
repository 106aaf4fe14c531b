/*
 * prompt.cpp - the restart prompt: after a restore with options r and d, a
 * modal dialog (template 1001, French texts) tells the user that the
 * installation is finished; its button restarts the device.
 *
 * Its window class regRestClass is the platform's "Dialog" class under the
 * program's instance, icon and name, so that it behaves as any dialog box;
 * start-up looks for a window of this class to find a run whose prompt is
 * still open.
 */
#include "app/driver.h"
#include "resources/resource.h"

int showRestartPrompt(HINSTANCE instance)
{
    WNDCLASSW description;
    HRSRC found;
    LPCDLGTEMPLATEW dialogTemplate;
    int result = EXIT_NOTHING;

    g_report.prompt = PROMPT_FAILED; /* until the dialog tells how it ended */
    /* Without the platform's dialog class, or our copy of it, there is no
     * prompt; the run's work is done and logged already. */
    if (!GetClassInfoW(NULL, TEXT("Dialog"), &description))
        goto done;
    description.hInstance = instance;
    description.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_CORVANE));
    description.lpszClassName = RESTART_CLASS;
    if (LOWORD(RegisterClassW(&description)) == 0)
        goto done;

    /* A template that cannot be found or loaded reaches the dialog service
     * as NULL, which then fails with its failure value. */
    found = FindResourceW(instance, MAKEINTRESOURCEW(IDD_RESTART), RT_DIALOG);
    dialogTemplate = (LPCDLGTEMPLATEW)LoadResource(instance, found);
    result = (int)DialogBoxIndirectParamW(instance, dialogTemplate, NULL, restartDlgProc, 0);
done:
    return result;
}

INT_PTR CALLBACK restartDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR handled = FALSE;

    (void)lParam;
    switch (message) {
    case WM_CLOSE:
        g_report.prompt = PROMPT_CLOSED;
        EndDialog(dialog, EXIT_NOTHING);
        handled = TRUE;
        break;
    case WM_INITDIALOG:
        handled = TRUE;
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            /* The prompt is told to end first, and the entry is in the log
             * file before the restart: the device does not come back. */
            g_report.prompt = PROMPT_RESTART;
            EndDialog(dialog, EXIT_DONE);
            writeLog(TEXT("user dialog: soft-reset"), EMPTY, 1);
            KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL);
            handled = TRUE;
        } else if (LOWORD(wParam) == IDCANCEL) {
            g_report.prompt = PROMPT_CANCEL;
            EndDialog(dialog, EXIT_DONE);
            writeLog(TEXT("user dialog: cancel"), EMPTY, 1);
            handled = TRUE;
        }
        break;
    default:
        break;
    }
    return handled;
}
