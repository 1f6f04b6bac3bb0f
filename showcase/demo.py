"""Shows the client and the installer at work in a throwaway Wine prefix and
prints what a player would see and what lands on disk and in the registry."""
import time

from release import product
from rig.prefix import APP_PATHS, DIST, UNINSTALL_KEY, Prefix

EDGE = r"C:\Program Files\Microsoft\Edge\Application\msedge.exe"


def show_run(prefix, title, command, answers=(), cwd=None):
    print(f"\n== {title}")
    print(f"$ {command}" + (f"    (current directory {cwd})" if cwd else ""))
    boxes, code = prefix.robot(command, answers, cwd=cwd)
    for box in boxes:
        print(f"  [message box] caption: {box['caption']}")
        lines = box["text"].split("\n")
        print(f"                text:    {lines[0]}")
        for line in lines[1:]:
            print(f"                         {line}")
        print(f"                buttons: {' '.join(box['buttons'])}    answer: {box['answer']}")
    print(f"  exit code: {code}")
    return boxes, code


def show_browser(prefix, log_path):
    runs = prefix.browser_log(log_path)
    prefix.unix(log_path + ".log").unlink(missing_ok=True)
    for run in runs:
        print(f"  browser started: {run['command_line']}")
        for i, arg in enumerate(run["argv"]):
            print(f"    argv[{i}] = {arg}")
    if not runs:
        print("  browser started: no")


def show_paths(prefix, paths):
    for path in paths:
        state = "present" if prefix.exists(path) else "absent"
        print(f"  {state:8} {path}")


def main():
    with Prefix() as p:
        print(f"Wine prefix: {p.path}")
        client = p.put(DIST / product.CLIENT_EXE, r"C:\dl" "\\" + product.CLIENT_EXE)
        handler = r"C:\handler\open.exe"
        p.route_https_to(handler)

        show_run(p, "The client on a machine without Edge; the player declines the download",
                 f'"{client}"', ["NO"])
        show_paths(p, [p.data_dir])
        show_run(p, "Again; the player accepts the download page", f'"{client}"', ["YES"])
        show_browser(p, handler)

        p.install_standin_edge(EDGE)
        p.import_registry([rf"[HKEY_LOCAL_MACHINE\{APP_PATHS}]",
                           '@="' + EDGE.replace("\\", "\\\\") + '"'])
        print(f"\nA stand-in msedge.exe is now at {EDGE},")
        print(f"registered under HKEY_LOCAL_MACHINE\\{APP_PATHS}.")
        show_run(p, "The client with Edge present", f'"{client}"')
        show_browser(p, EDGE)
        show_paths(p, [p.data_dir, p.data_dir + r"\BrowserProfile"])

        setup = p.put(DIST / product.INSTALLER_EXE,
                      p.profile + r"\Downloads" "\\" + product.INSTALLER_EXE)
        show_run(p, "Install from the Downloads folder, then start the game",
                 f'"{setup}"', ["YES", "YES"])
        show_browser(p, EDGE)
        install_dir = p.install_dir
        print("  files:")
        for f in sorted(p.unix(install_dir).iterdir()):
            print(f"    {install_dir}\\{f.name}  ({f.stat().st_size} bytes)")
        links = p.links
        print("  shortcuts:")
        for link in links:
            s = p.shortcut(link)
            print(f"    {link}")
            print(f"      target {s['target']}  arguments '{s['arguments']}'")
            print(f"      working directory {s['working_directory']}")
            print(f"      description '{s['description']}'  icon {s['icon']},{s['icon_index']}")
        print(f"  registry HKEY_CURRENT_USER\\{UNINSTALL_KEY}:")
        for name, (kind, data) in p.registry_values(
                "HKEY_CURRENT_USER\\" + UNINSTALL_KEY).items():
            print(f"    {name:16} {kind:10} {data}")

        show_run(p, "A later start through the installed client", f'"{p.client}"')
        show_browser(p, EDGE)

        show_run(p, "Uninstall, as the Start-menu shortcut starts it",
                 f'"{p.uninstaller}" {product.UNINSTALL_OPTION}', ["YES"], cwd=install_dir)
        show_paths(p, [p.client, p.uninstaller, p.retired] + links)
        present = p.registry_values("HKEY_CURRENT_USER\\" + UNINSTALL_KEY) is not None
        print(f"  registry key present: {present}")
        start = time.monotonic()
        while p.exists(install_dir) and time.monotonic() - start < 15:
            time.sleep(0.2)
        print(f"\n== {time.monotonic() - start:.1f} s later, after the hidden delayed removal")
        show_paths(p, [p.uninstaller, p.retired, install_dir, p.data_dir + r"\BrowserProfile"])
        print("\nThe browser profile is kept on purpose: it belongs to the player.")


if __name__ == "__main__":
    main()
