"""The random source is the first thing the installer sets up: without the system's
cryptographic provider the run ends at once with 150 and the reason."""
import winetest

NO_PROVIDER = {"WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree,mshtml=;rsaenh="}
MESSAGE = ("std::exception caught: NoCrtRandom::Init() failed with the following error info:\n"
           "[Error] NoCrtRandom::Init() - CryptAcquireContext() failed\n")


class MissingProvider(winetest.PrefixTestCase):
    def test_ends_with_150_before_the_command_line_is_read(self):
        # Interactive or not, a bad command line or none: the reason is printed, no usage
        # text and no message box (the mode is not known yet).
        for args in (("/InstallDir", "C:\\orvidex-test", "/AcceptEULA"), (), ("/Bogus",)):
            with self.subTest(args=args):
                r = self.prefix.installer(*args, env=NO_PROVIDER)
                self.assertEqual((r.code, r.stdout, r.stderr), (150, MESSAGE, ""))


if __name__ == "__main__":
    winetest.main()
