"""UTF-8 locales made by localedef in a folder of the test's own: nothing on the system changes."""
import os
import subprocess


def utf8(language, folder):
    """The variables that choose the UTF-8 locale of a language of po/LINGUAS (de: de_DE, ja: ja_JP, pt_BR:
    pt_BR), made in folder the first time; RuntimeError where localedef cannot make it."""
    with open("/usr/share/i18n/SUPPORTED") as f:
        supported = [line.split()[0] for line in f if line.split()[1:] == ["UTF-8"]]
    locale = min((n for n in supported if n.startswith((f"{language}.", f"{language}_"))),
                 key=lambda n: n != f"{language}_{language.upper()}.UTF-8", default=language)
    path = os.path.join(folder, locale)
    if not os.path.isdir(path):
        os.makedirs(folder, exist_ok=True)
        made = subprocess.run(["localedef", "-i", locale.split(".")[0], "-f", "UTF-8", path + ".part"],
                              capture_output=True, text=True, timeout=300)
        if not os.path.isdir(path + ".part"):
            raise RuntimeError(f"localedef could not make {locale} for {language}: {made.stderr}")
        os.rename(path + ".part", path)
    return {"LOCPATH": folder, "LC_ALL": locale}
