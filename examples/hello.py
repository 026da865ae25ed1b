"""The smallest corvel program: configure the engine, enter a room, leave it."""

import tempfile
import threading

import corvel


class Delegate(corvel.Delegate):
    """Defines the callbacks it cares about; corvel.Delegate ignores the rest."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.exited = threading.Event()

    def OnError(self, error: corvel.Error) -> None:
        print("engine error:", error)

    def OnConnectionStateChanged(self, old_state: corvel.ConnectionState,
                                 new_state: corvel.ConnectionState) -> None:
        print("connection:", old_state.name, "->", new_state.name)

    def OnEnterRoom(self) -> None:
        print("entered the room")
        self.entered.set()

    def OnExitRoom(self) -> None:
        print("left the room")
        self.exited.set()


def main() -> None:
    log_dir = tempfile.mkdtemp(prefix="corvel-log-")
    print("engine log in", log_dir, "->", corvel.SetLogPath(log_dir))
    print("environment 'loopback' accepted:", corvel.SetEnvironment("loopback"))

    delegate = Delegate()
    cloud = corvel.VORACloud(delegate)

    params = corvel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = 42
    params.room.user_id.SetValue("alice")
    params.room.user_sig.SetValue("signature")
    print("EnterRoom ->", corvel.Error(cloud.EnterRoom(params)))
    delegate.entered.wait(5)
    print("ExitRoom ->", corvel.Error(cloud.ExitRoom()))
    delegate.exited.wait(5)
    del cloud  # destroys the engine instance


if __name__ == "__main__":
    main()
