<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>BootloaderSession</name>
    <message>
        <source>Busy: a flash is running</source>
        <translation>Занято: идёт прошивка</translation>
    </message>
</context>
<context>
    <name>CanWorker</name>
    <message>
        <source>Unknown command %1</source>
        <translation>Неизвестная команда %1</translation>
    </message>
    <message>
        <source>Cannot read from file: %1</source>
        <translation>Не удаётся прочитать файл: %1</translation>
    </message>
    <message>
        <source>Selecting %1</source>
        <translation>Выбор %1</translation>
    </message>
    <message>
        <source>Uploading data</source>
        <translation>Загрузка данных</translation>
    </message>
    <message>
        <source>Transport unexpectedly closed</source>
        <translation>Соединение неожиданно закрыто</translation>
    </message>
    <message>
        <source>Transport error: %1</source>
        <translation>Ошибка транспорта: %1</translation>
    </message>
    <message>
        <source>No responce from the device</source>
        <translation>Нет ответа от устройства</translation>
    </message>
    <message>
        <source>Invalid reply for the info command: %1</source>
        <translation>Неверный ответ на команду info: %1</translation>
    </message>
    <message>
        <source>Invalid reply</source>
        <translation>Неверный ответ</translation>
    </message>
    <message>
        <source>Device reports: SDK %1, FW %2, MPY %3, VER %4</source>
        <translation>Устройство сообщает: SDK %1, FW %2, MPY %3, VER %4</translation>
    </message>
    <message>
        <source>Invalid reply for the read command: %1</source>
        <translation>Неверный ответ на команду read: %1</translation>
    </message>
    <message>
        <source>Invalid reply to the &apos;Select&apos; command</source>
        <translation>Неверный ответ на команду &apos;Select&apos;</translation>
    </message>
    <message>
        <source>Empty reply</source>
        <translation>Пустой ответ</translation>
    </message>
    <message>
        <source>Invalid reply for the config command: %1</source>
        <translation>Неверный ответ на команду config: %1</translation>
    </message>
    <message>
        <source>Hash mismatch</source>
        <translation>Контрольная сумма не совпадает</translation>
    </message>
    <message>
        <source>Device reply processing error. Invalid reply (%1).</source>
        <translation>Ошибка обработки ответа устройства. Неверный ответ (%1).</translation>
    </message>
    <message>
        <source>Device reply processing error.</source>
        <translation>Ошибка обработки ответа устройства.</translation>
    </message>
    <message>
        <source>Device reply processing error at %1: %2</source>
        <translation>Ошибка обработки ответа устройства в %1: %2</translation>
    </message>
    <message>
        <source>Device reply processing error</source>
        <translation>Ошибка обработки ответа устройства</translation>
    </message>
    <message>
        <source>No reply within %1 ms of the request</source>
        <translation>Нет ответа в течение %1 мс после запроса</translation>
    </message>
    <message>
        <source>The request did not reach the device (%1)</source>
        <translation>Запрос не дошёл до устройства (%1)</translation>
    </message>
    <message>
        <source>Reply %1 does not answer the request</source>
        <translation>Ответ %1 не соответствует запросу</translation>
    </message>
    <message>
        <source>Busy: an upload is running</source>
        <translation>Занято: идёт загрузка файла</translation>
    </message>
    <message>
        <source>The adapter&apos;s port is not open</source>
        <translation>Порт адаптера не открыт</translation>
    </message>
    <message>
        <source>Stopping the upload after the current block</source>
        <translation>Загрузка будет остановлена после текущего блока</translation>
    </message>
    <message>
        <source>Upload stopped; %1 on the device is incomplete</source>
        <translation>Загрузка остановлена; файл %1 на устройстве неполный</translation>
    </message>
    <message>
        <source>Upload stopped</source>
        <translation>Загрузка остановлена</translation>
    </message>
</context>
<context>
    <name>DropArea</name>
    <message>
        <source>Drop firmware file&lt;br&gt;here</source>
        <translation>Перетащите файл прошивки&lt;br&gt;сюда</translation>
    </message>
    <message>
        <source>DFU Files (*.dfu)</source>
        <translation>Файлы DFU (*.dfu)</translation>
    </message>
    <message>
        <source>Select DFU File</source>
        <translation>Выберите файл DFU</translation>
    </message>
</context>
<context>
    <name>ECUFileListModel</name>
    <message>
        <source>On</source>
        <translation>Вкл</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Имя</translation>
    </message>
</context>
<context>
    <name>ELM327IOBase</name>
    <message>
        <source>Permission denied for %1. Add your user to the &apos;dialout&apos; group (sudo usermod -aG dialout $USER), then log out and in again.</source>
        <translation>Нет доступа к %1. Добавьте своего пользователя в группу &apos;dialout&apos; (sudo usermod -aG dialout $USER), затем выйдите из системы и войдите снова.</translation>
    </message>
    <message>
        <source>%1 is not available</source>
        <translation>%1 недоступен</translation>
    </message>
    <message>
        <source>Cannot open %1: %2</source>
        <translation>Не удаётся открыть %1: %2</translation>
    </message>
    <message>
        <source>The adapter on %1 is being set up already; this set-up follows</source>
        <translation>Адаптер на %1 уже настраивается; эта настройка последует за текущей</translation>
    </message>
    <message>
        <source>No adapter answers on %1</source>
        <translation>Адаптер на %1 не отвечает</translation>
    </message>
    <message>
        <source>No adapter answers on %1 at %2 bit/s</source>
        <translation>Адаптер на %1 не отвечает на скорости %2 бит/с</translation>
    </message>
    <message>
        <source>Cannot connect to %1: %2</source>
        <translation>Не удаётся подключиться к %1: %2</translation>
    </message>
    <message>
        <source>The adapter on %1 is an %2 (%3), not an %4: choose %2</source>
        <translation>Адаптер на %1 — это %2 (%3), а не %4: выберите %2</translation>
    </message>
    <message>
        <source>Permission denied for %1.</source>
        <translation>Нет доступа к %1.</translation>
    </message>
    <message>
        <source>%1 is in use by another program</source>
        <translation>%1 занят другой программой</translation>
    </message>
    <message>
        <source>The adapter on %1 did not answer &apos;%2&apos;</source>
        <translation>Адаптер на %1 не ответил на &apos;%2&apos;</translation>
    </message>
    <message>
        <source>The adapter on %1 is an ELS27 (%2); it is driven as an ELM327, as chosen. Choose ELS27 for faster transfers</source>
        <translation>Адаптер на %1 — это ELS27 (%2); он работает как ELM327, как выбрано. Выберите ELS27 для более быстрой передачи</translation>
    </message>
    <message>
        <source>The adapter did not answer &apos;%1&apos;</source>
        <translation>Адаптер не ответил на &apos;%1&apos;</translation>
    </message>
    <message>
        <source>The adapter refused &apos;%1&apos;</source>
        <translation>Адаптер отклонил &apos;%1&apos;</translation>
    </message>
</context>
<context>
    <name>ELM327Worker</name>
    <message>
        <source>Vehicle voltage unknown</source>
        <translation>Напряжение бортовой сети неизвестно</translation>
    </message>
    <message>
        <source>Vehicle voltage: %1 V</source>
        <translation>Напряжение бортовой сети: %1 В</translation>
    </message>
    <message>
        <source>The vehicle&apos;s voltage cannot be read; %1 V was asked for</source>
        <translation>Не удаётся прочитать напряжение бортовой сети; требуется не менее %1 В</translation>
    </message>
    <message>
        <source>The vehicle&apos;s battery reads %1 V, below the %2 V asked for</source>
        <translation>Напряжение аккумулятора %1 В, ниже требуемых %2 В</translation>
    </message>
    <message>
        <source>No responce from the device</source>
        <translation>Нет ответа от устройства</translation>
    </message>
    <message>
        <source>The adapter did not answer (%1)</source>
        <translation>Адаптер не ответил (%1)</translation>
    </message>
    <message>
        <source>The adapter could not put the request on the CAN bus (%1)</source>
        <translation>Адаптер не смог передать запрос в шину CAN (%1)</translation>
    </message>
    <message>
        <source>The reply broke the protocol (%1)</source>
        <translation>Ответ нарушил протокол (%1)</translation>
    </message>
    <message>
        <source>The adapter failed the exchange (%1)</source>
        <translation>Адаптер прервал обмен (%1)</translation>
    </message>
</context>
<context>
    <name>ELMParams</name>
    <message>
        <source>Connection</source>
        <translation>Подключение</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>Порт:</translation>
    </message>
    <message>
        <source>Baudrate:</source>
        <translation>Скорость:</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Автоматически</translation>
    </message>
    <message>
        <source>Adapter:</source>
        <translation>Адаптер:</translation>
    </message>
    <message>
        <source>ELM327</source>
        <translation>ELM327</translation>
    </message>
    <message>
        <source>ELS27</source>
        <translation>ELS27</translation>
    </message>
    <message>
        <source>Device ID:</source>
        <translation>ID устройства:</translation>
    </message>
    <message>
        <source>0x</source>
        <translation>0x</translation>
    </message>
    <message>
        <source>PC ID:</source>
        <translation>ID компьютера:</translation>
    </message>
    <message>
        <source>Transfer:</source>
        <translation>Передача:</translation>
    </message>
    <message>
        <source>How an ELS27 carries messages: whole, the adapter segmenting them (STPX), or frame by frame</source>
        <translation>Как ELS27 передаёт сообщения: целиком, разбивая их сам (STPX), или по кадрам</translation>
    </message>
    <message>
        <source>Segmented by the adapter</source>
        <translation>Разбиение адаптером</translation>
    </message>
    <message>
        <source>Frame by frame</source>
        <translation>По кадрам</translation>
    </message>
</context>
<context>
    <name>HIDDfu</name>
    <message>
        <source>Updater</source>
        <translation>Обновление</translation>
    </message>
    <message>
        <source>Firmware package is invalid</source>
        <translation>Недопустимый пакет прошивки</translation>
    </message>
    <message>
        <source>%1 is not a firmware package</source>
        <translation>%1 не является пакетом прошивки</translation>
    </message>
    <message>
        <source>Incompatible hardware detected.
%1 firmware package is designed for a different board</source>
        <translation>Обнаружено несовместимое оборудование.
Пакет прошивки %1 предназначен для другой платы</translation>
    </message>
    <message>
        <source>Cannot flash this firmware - it is %1 bytes bigger than maximum flash space available</source>
        <translation>Невозможно записать эту прошивку: она на %1 байт больше доступного места во флеш-памяти</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;Restart the bootloader&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;Перезапустить загрузчик&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Switch to STM DFU</source>
        <translation>Переключить в STM DFU</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;SPI Flash Operations&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;Операции с SPI-флеш&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Launch</source>
        <translation>Запустить</translation>
    </message>
    <message>
        <source>Flasher</source>
        <translation>Прошивка</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>Журнал</translation>
    </message>
    <message>
        <source>Search DFU Devices</source>
        <translation>Поиск DFU-устройств</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Firmware Update</source>
        <translation>Обновление прошивки</translation>
    </message>
    <message>
        <source>No IO ports available</source>
        <translation>Нет доступных портов ввода-вывода</translation>
    </message>
    <message>
        <source>Connecting to %1@%2...</source>
        <translation>Подключение к %1@%2...</translation>
    </message>
    <message>
        <source>auto</source>
        <translation>авто</translation>
    </message>
    <message>
        <source>Busy flashing. Please wait</source>
        <translation>Идёт прошивка. Пожалуйста, подождите</translation>
    </message>
    <message>
        <source>Cannot read firmware file %1: %2</source>
        <translation>Не удаётся прочитать файл прошивки %1: %2</translation>
    </message>
    <message>
        <source>Update firmware to %1?</source>
        <translation>Обновить прошивку до %1?</translation>
    </message>
    <message>
        <source>Error erasing old firmware</source>
        <translation>Ошибка стирания старой прошивки</translation>
    </message>
    <message>
        <source>Communication error: %1</source>
        <translation>Ошибка связи: %1</translation>
    </message>
    <message>
        <source>Error reading from file (%1)</source>
        <translation>Ошибка чтения файла (%1)</translation>
    </message>
    <message>
        <source>Error flasing new firmware. Internal error:</source>
        <translation>Ошибка записи новой прошивки. Внутренняя ошибка:</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>Неизвестная ошибка</translation>
    </message>
    <message>
        <source>Utility to flash Quorvane devices via CAN.</source>
        <translation>Утилита для прошивки устройств Quorvane через CAN.</translation>
    </message>
    <message>
        <source>Developed by the Veltrano team for Kestrane service technicians.</source>
        <translation>Разработано командой Veltrano для сервисных инженеров Kestrane.</translation>
    </message>
    <message>
        <source>Uses:</source>
        <translation>Использует:</translation>
    </message>
    <message>
        <source>The device stopped answering; the firmware was not flashed. Drop the package again to retry.</source>
        <translation>Устройство перестало отвечать; прошивка не записана. Чтобы повторить, перетащите пакет снова.</translation>
    </message>
    <message>
        <source>The connection to the adapter was lost; looking for it again</source>
        <translation>Связь с адаптером потеряна; повторный поиск</translation>
    </message>
    <message>
        <source>The device did not report its status; %1 was not checked and not flashed</source>
        <translation>Устройство не сообщило своё состояние; %1 не проверен и не записан</translation>
    </message>
    <message>
        <source>%1 holds no firmware image</source>
        <translation>%1 не содержит образа прошивки</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>это не обычный файл</translation>
    </message>
    <message>
        <source>The device has no application now and must be flashed again.</source>
        <translation>На устройстве сейчас нет приложения; его нужно прошить заново.</translation>
    </message>
    <message>
        <source>A flash is running. Stopping now leaves the device without an application. Stop and quit?</source>
        <translation>Идёт прошивка. Если остановить её сейчас, на устройстве не останется приложения. Остановить и выйти?</translation>
    </message>
    <message>
        <source>Stopping the flash after the current step</source>
        <translation>Прошивка будет остановлена после текущего шага</translation>
    </message>
    <message>
        <source>Flash stopped; the device has no application now and must be flashed again.</source>
        <translation>Прошивка остановлена; на устройстве теперь нет приложения, его нужно прошить заново.</translation>
    </message>
    <message>
        <source>Flash stopped; the application is unchanged.</source>
        <translation>Прошивка остановлена; приложение не изменено.</translation>
    </message>
    <message>
        <source>The vehicle&apos;s battery reads %1 V. A flash that stops halfway leaves the device without an application. Flash anyway?</source>
        <translation>Аккумулятор автомобиля показывает %1 В. Прошивка, прерванная на середине, оставляет устройство без приложения. Всё равно прошить?</translation>
    </message>
    <message>
        <source>larger than %1 MiB, more than any device holds</source>
        <translation>больше %1 МиБ — больше, чем вмещает любое устройство</translation>
    </message>
    <message>
        <source>Erasing</source>
        <translation>Стирание</translation>
    </message>
    <message>
        <source>Flashing</source>
        <translation>Запись</translation>
    </message>
    <message>
        <source>Finalizing</source>
        <translation>Завершение</translation>
    </message>
    <message>
        <source>The erase was sent but not confirmed: the device may have no application now. Flash it again.</source>
        <translation>Команда стирания отправлена, но не подтверждена: возможно, на устройстве теперь нет приложения. Прошейте его снова.</translation>
    </message>
    <message>
        <source>The flash ended before it could be stopped: the new firmware is on the device.</source>
        <translation>Прошивка завершилась раньше, чем её удалось остановить: новая прошивка записана на устройство.</translation>
    </message>
    <message>
        <source>The end of the flash was sent but not confirmed: the device may have no application now. Flash it again.</source>
        <translation>Команда завершения прошивки отправлена, но не подтверждена: возможно, на устройстве теперь нет приложения. Прошейте его снова.</translation>
    </message>
    <message>
        <source>Flash stopped; the erase was sent but not confirmed: the device may have no application now. Flash it again.</source>
        <translation>Прошивка остановлена; команда стирания отправлена, но не подтверждена: возможно, на устройстве теперь нет приложения. Прошейте его снова.</translation>
    </message>
    <message>
        <source>The device stayed busy with an earlier step for %1 s; %2 was not flashed</source>
        <translation>Устройство оставалось занято предыдущим шагом %1 с; %2 не прошит</translation>
    </message>
    <message>
        <source>The records of the jobs done</source>
        <translation>Записи о выполненных работах</translation>
    </message>
    <message>
        <source>Records</source>
        <translation>Записи</translation>
    </message>
    <message>
        <source>%1 is damaged: its image does not match the digest it carries</source>
        <translation>%1 повреждён: его образ не совпадает с записанной в нём контрольной суммой</translation>
    </message>
    <message>
        <source>Flash %1 again?</source>
        <translation>Прошить %1 снова?</translation>
    </message>
    <message>
        <source>%1 has changed since its flash began; it was not flashed</source>
        <translation>%1 изменился с начала его прошивки; он не прошит</translation>
    </message>
</context>
<context>
    <name>JobRecord</name>
    <message>
        <source>The last flash of this device (%1, %2) did not finish: it has no application.</source>
        <translation>Последняя прошивка этого устройства (%1, %2) не завершилась: на нём нет приложения.</translation>
    </message>
</context>
<context>
    <name>LaunchDialog</name>
    <message>
        <source>Launch</source>
        <translation>Запустить</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;center&quot;&gt;The firwmare has been updated.&lt;/p&gt;&lt;p align=&quot;center&quot;&gt;If no error messages were displayed in the process, the new firmware is ready to be launched. Press &amp;quot;Launch&amp;quot; to proceed.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;center&quot;&gt;Прошивка обновлена.&lt;/p&gt;&lt;p align=&quot;center&quot;&gt;Если в процессе не появилось сообщений об ошибках, новая прошивка готова к запуску. Нажмите &amp;quot;Запустить&amp;quot;, чтобы продолжить.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Return</source>
        <translation>Вернуться</translation>
    </message>
</context>
<context>
    <name>ManagerRecords</name>
    <message>
        <source>No ending was heard</source>
        <translation>Завершение не получено</translation>
    </message>
    <message>
        <source>Stored on the device as %1</source>
        <translation>Сохранён на устройстве как %1</translation>
    </message>
    <message>
        <source>The bootloader answered</source>
        <translation>Загрузчик ответил</translation>
    </message>
    <message>
        <source>The device answers again</source>
        <translation>Устройство снова отвечает</translation>
    </message>
    <message>
        <source>The device did not answer after the request within %1 s</source>
        <translation>Устройство не ответило после запроса в течение %1 с</translation>
    </message>
</context>
<context>
    <name>ManagerSession</name>
    <message>
        <source>Busy: another operation is running</source>
        <translation>Занято: выполняется другая операция</translation>
    </message>
    <message>
        <source>Upload stopped</source>
        <translation>Загрузка остановлена</translation>
    </message>
</context>
<context>
    <name>ManagerWindow</name>
    <message>
        <source>Veltrano Manager</source>
        <translation>Менеджер Veltrano</translation>
    </message>
    <message>
        <source>Drop binary file&lt;br&gt;&lt;b&gt;here&lt;/b&gt;</source>
        <translation>Перетащите двоичный файл&lt;br&gt;&lt;b&gt;сюда&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Binary files (*.bin)</source>
        <translation>Двоичные файлы (*.bin)</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Upgrade Utility</source>
        <translation>Утилита обновления</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>File Upload</source>
        <translation>Загрузка файла</translation>
    </message>
    <message>
        <source>Cannot read file %1: %2</source>
        <translation>Не удаётся прочитать файл %1: %2</translation>
    </message>
    <message>
        <source>%1 is not a firmware file</source>
        <translation>%1 не является файлом прошивки</translation>
    </message>
    <message>
        <source>Firmware file is corrupted</source>
        <translation>Файл прошивки повреждён</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>Порт:</translation>
    </message>
    <message>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <source>Baudrate:</source>
        <translation>Скорость:</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Автоматически</translation>
    </message>
    <message>
        <source>Adapter:</source>
        <translation>Адаптер:</translation>
    </message>
    <message>
        <source>ELM327</source>
        <translation>ELM327</translation>
    </message>
    <message>
        <source>ELS27</source>
        <translation>ELS27</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Подключиться</translation>
    </message>
    <message>
        <source>Add file</source>
        <translation>Добавить файл</translation>
    </message>
    <message>
        <source>Apply Selection</source>
        <translation>Применить выбор</translation>
    </message>
    <message>
        <source>Remove file</source>
        <translation>Удалить файл</translation>
    </message>
    <message>
        <source>Clear all</source>
        <translation>Очистить всё</translation>
    </message>
    <message>
        <source>Firmware Upgrade</source>
        <translation>Обновление прошивки</translation>
    </message>
    <message>
        <source>Go</source>
        <translation>Переход</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Справка</translation>
    </message>
    <message>
        <source>Home</source>
        <translation>Главная</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>Журнал</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>No serial port</source>
        <translation>Нет последовательного порта</translation>
    </message>
    <message>
        <source>Connecting to %1</source>
        <translation>Подключение к %1</translation>
    </message>
    <message>
        <source>Firmware Update</source>
        <translation>Обновление прошивки</translation>
    </message>
    <message>
        <source>Busy flashing. Please wait</source>
        <translation>Идёт запись. Пожалуйста, подождите</translation>
    </message>
    <message>
        <source>File %1 will be uploaded as %2. Proceed?</source>
        <translation>Файл %1 будет загружен как %2. Продолжить?</translation>
    </message>
    <message>
        <source>Start uploading %1</source>
        <translation>Начало загрузки %1</translation>
    </message>
    <message>
        <source>File uploaded</source>
        <translation>Файл загружен</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Готово</translation>
    </message>
    <message>
        <source>File upload failed</source>
        <translation>Не удалось загрузить файл</translation>
    </message>
    <message>
        <source>Upload failed</source>
        <translation>Ошибка загрузки</translation>
    </message>
    <message>
        <source>Remove File</source>
        <translation>Удаление файла</translation>
    </message>
    <message>
        <source>Select a file to remove</source>
        <translation>Выберите файл для удаления</translation>
    </message>
    <message>
        <source>Removing file %1</source>
        <translation>Удаление файла %1</translation>
    </message>
    <message>
        <source>Erasing all files</source>
        <translation>Удаление всех файлов</translation>
    </message>
    <message>
        <source>Are you sure you want to update the firmware?</source>
        <translation>Вы уверены, что хотите обновить прошивку?</translation>
    </message>
    <message>
        <source>This is a potentially dangerous operation that may render the device inoperable.</source>
        <translation>Это потенциально опасная операция, которая может вывести устройство из строя.</translation>
    </message>
    <message>
        <source>Please read the manual carefully before updating the firmware!</source>
        <translation>Перед обновлением прошивки внимательно прочитайте руководство!</translation>
    </message>
    <message>
        <source>Utility to manage the Kestrane devices via CAN.</source>
        <translation>Утилита для управления устройствами Kestrane по шине CAN.</translation>
    </message>
    <message>
        <source>Developed by the Veltrano team for Kestrane service technicians.</source>
        <translation>Разработано командой Veltrano для сервисных инженеров Kestrane.</translation>
    </message>
    <message>
        <source>Uses:</source>
        <translation>Использует:</translation>
    </message>
    <message>
        <source>Connection Aborted</source>
        <translation>Соединение прервано</translation>
    </message>
    <message>
        <source>Error reading from file (%1)</source>
        <translation>Ошибка чтения файла (%1)</translation>
    </message>
    <message>
        <source>Communication error: %1</source>
        <translation>Ошибка связи: %1</translation>
    </message>
    <message>
        <source>Setup failed</source>
        <translation>Ошибка настройки</translation>
    </message>
    <message>
        <source>No Files</source>
        <translation>Нет файлов</translation>
    </message>
    <message>
        <source>Cannot get file list</source>
        <translation>Не удаётся получить список файлов</translation>
    </message>
    <message>
        <source>Read File List</source>
        <translation>Чтение списка файлов</translation>
    </message>
    <message>
        <source>File list read error %1</source>
        <translation>Ошибка чтения списка файлов %1</translation>
    </message>
    <message>
        <source>Cannot setup file upload</source>
        <translation>Не удаётся подготовить загрузку файла</translation>
    </message>
    <message>
        <source>Upload File</source>
        <translation>Загрузка файла</translation>
    </message>
    <message>
        <source>Cannot upload file: %1</source>
        <translation>Не удаётся загрузить файл: %1</translation>
    </message>
    <message>
        <source>File removed</source>
        <translation>Файл удалён</translation>
    </message>
    <message>
        <source>Removed</source>
        <translation>Удалено</translation>
    </message>
    <message>
        <source>File removal failed</source>
        <translation>Не удалось удалить файл</translation>
    </message>
    <message>
        <source>File Removal</source>
        <translation>Удаление файла</translation>
    </message>
    <message>
        <source>Failed!</source>
        <translation>Ошибка!</translation>
    </message>
    <message>
        <source>Erased</source>
        <translation>Стёрто</translation>
    </message>
    <message>
        <source>Could not erase</source>
        <translation>Не удалось стереть</translation>
    </message>
    <message>
        <source>Erase Files</source>
        <translation>Стирание файлов</translation>
    </message>
    <message>
        <source>Other error</source>
        <translation>Другая ошибка</translation>
    </message>
    <message>
        <source>No adapter answered on %1</source>
        <translation>Адаптер на %1 не отвечает</translation>
    </message>
    <message>
        <source>The device cannot store the name %1 exactly: it holds %2. Rename the file using only ASCII letters, digits, spaces and punctuation.</source>
        <translation>Устройство не может сохранить имя %1 без искажений: в нём есть %2. Переименуйте файл, используя только латинские буквы, цифры, пробелы и знаки препинания ASCII.</translation>
    </message>
    <message>
        <source>%1 is not a regular file</source>
        <translation>%1 — это не обычный файл</translation>
    </message>
    <message>
        <source>The device did not switch to its bootloader: %1</source>
        <translation>Устройство не перешло в загрузчик: %1</translation>
    </message>
    <message>
        <source>Not connected: connect to the adapter again</source>
        <translation>Нет соединения: подключитесь к адаптеру снова</translation>
    </message>
    <message>
        <source>An upload is running. Stopping now leaves a partial file on the device. Stop and quit?</source>
        <translation>Идёт загрузка файла. Если остановить её сейчас, на устройстве останется неполный файл. Остановить и выйти?</translation>
    </message>
    <message>
        <source>Remove %1 from the device?</source>
        <translation>Удалить %1 с устройства?</translation>
    </message>
    <message>
        <source>Cannot read the active files: %1</source>
        <translation>Не удалось прочитать список активных файлов: %1</translation>
    </message>
    <message>
        <source>Read Selection</source>
        <translation>Чтение выбора</translation>
    </message>
    <message>
        <source>Switch requested; asking the bootloader</source>
        <translation>Переход запрошен; опрашивается загрузчик</translation>
    </message>
    <message>
        <source>the bootloader did not answer within %1 s</source>
        <translation>загрузчик не ответил за %1 с</translation>
    </message>
    <message>
        <source>the adapter could not be set up again</source>
        <translation>адаптер не удалось настроить заново</translation>
    </message>
    <message>
        <source>Transfer:</source>
        <translation>Передача:</translation>
    </message>
    <message>
        <source>How an ELS27 carries messages: whole, the adapter segmenting them (STPX), or frame by frame</source>
        <translation>Как ELS27 передаёт сообщения: целиком, разбивая их сам (STPX), или по кадрам</translation>
    </message>
    <message>
        <source>Segmented by the adapter</source>
        <translation>Разбиение адаптером</translation>
    </message>
    <message>
        <source>Frame by frame</source>
        <translation>По кадрам</translation>
    </message>
    <message>
        <source>Records</source>
        <translation>Записи</translation>
    </message>
</context>
<context>
    <name>PackageFlash</name>
    <message>
        <source>The device is still busy with an earlier step; waiting for it</source>
        <translation>Устройство ещё занято предыдущим шагом; ожидание</translation>
    </message>
    <message>
        <source>Opened firmware file %1</source>
        <translation>Открыт файл прошивки %1</translation>
    </message>
    <message>
        <source>no digest to check</source>
        <translation>нет контрольной суммы для проверки</translation>
    </message>
</context>
<context>
    <name>RecordKeeper</name>
    <message>
        <source>The job goes on without its record: %1</source>
        <translation>Работа продолжается без записи о ней: %1</translation>
    </message>
</context>
<context>
    <name>RecordStore</name>
    <message>
        <source>Qt&apos;s SQLite driver (QSQLITE) is not installed</source>
        <translation>Драйвер SQLite для Qt (QSQLITE) не установлен</translation>
    </message>
    <message>
        <source>cannot make the folder %1</source>
        <translation>не удаётся создать папку %1</translation>
    </message>
    <message>
        <source>it holds no record %1</source>
        <translation>в нём нет записи %1</translation>
    </message>
    <message>
        <source>it is not open</source>
        <translation>он не открыт</translation>
    </message>
    <message>
        <source>it belongs to a newer Veltrano (schema version %1; this one knows %2)</source>
        <translation>он от более новой версии Veltrano (версия схемы %1; эта знает %2)</translation>
    </message>
</context>
<context>
    <name>RecordsPage</name>
    <message>
        <source>Started</source>
        <translation>Начало</translation>
    </message>
    <message>
        <source>Ended</source>
        <translation>Конец</translation>
    </message>
    <message>
        <source>Duration, ms</source>
        <translation>Длительность, мс</translation>
    </message>
    <message>
        <source>Program</source>
        <translation>Программа</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Версия</translation>
    </message>
    <message>
        <source>Computer</source>
        <translation>Компьютер</translation>
    </message>
    <message>
        <source>User</source>
        <translation>Пользователь</translation>
    </message>
    <message>
        <source>Job</source>
        <translation>Работа</translation>
    </message>
    <message>
        <source>Dry run</source>
        <translation>Пробный запуск</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Состояние</translation>
    </message>
    <message>
        <source>Exit code</source>
        <translation>Код выхода</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>Причина</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>Порт</translation>
    </message>
    <message>
        <source>Adapter</source>
        <translation>Адаптер</translation>
    </message>
    <message>
        <source>Adapter identification</source>
        <translation>Идентификация адаптера</translation>
    </message>
    <message>
        <source>Transfer</source>
        <translation>Передача</translation>
    </message>
    <message>
        <source>Role</source>
        <translation>Роль</translation>
    </message>
    <message>
        <source>Board</source>
        <translation>Плата</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>Description</source>
        <translation>Описание</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Размер</translation>
    </message>
    <message>
        <source>SHA-256</source>
        <translation>SHA-256</translation>
    </message>
    <message>
        <source>Erase sent</source>
        <translation>Стирание отправлено</translation>
    </message>
    <message>
        <source>Erase confirmed</source>
        <translation>Стирание подтверждено</translation>
    </message>
    <message>
        <source>Bytes acknowledged</source>
        <translation>Подтверждено байт</translation>
    </message>
    <message>
        <source>Finalise confirmed</source>
        <translation>Завершение подтверждено</translation>
    </message>
    <message>
        <source>Launch answered</source>
        <translation>Запуск подтверждён</translation>
    </message>
    <message>
        <source>Voltage before, V</source>
        <translation>Напряжение до, В</translation>
    </message>
    <message>
        <source>Voltage after, V</source>
        <translation>Напряжение после, В</translation>
    </message>
    <message>
        <source>Number</source>
        <translation>Номер</translation>
    </message>
    <message>
        <source>Filter: a word in any column</source>
        <translation>Фильтр: слово в любом столбце</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Обновить</translation>
    </message>
    <message>
        <source>Export CSV…</source>
        <translation>Экспорт в CSV…</translation>
    </message>
    <message>
        <source>No records are kept</source>
        <translation>Записи не ведутся</translation>
    </message>
    <message>
        <source>No records yet: %1</source>
        <translation>Записей пока нет: %1</translation>
    </message>
    <message>
        <source>Records: %1, in %2</source>
        <translation>Записей: %1, в %2</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>Не удаётся записать %1: %2</translation>
    </message>
    <message>
        <source>Records written: %1, to %2</source>
        <translation>Записано записей: %1, в %2</translation>
    </message>
    <message>
        <source>Export records</source>
        <translation>Экспорт записей</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>Файлы CSV (*.csv)</translation>
    </message>
    <message>
        <source>Erase refused</source>
        <translation>Стирание отклонено</translation>
    </message>
</context>
<context>
    <name>Updater</name>
    <message>
        <source>A problem with the Updater application has been detected. The applictaion will be closed.</source>
        <translation>Обнаружена проблема в приложении обновления. Приложение будет закрыто.</translation>
    </message>
</context>
<context>
    <name>UpdaterRecords</name>
    <message>
        <source>The device stopped answering</source>
        <translation>Устройство перестало отвечать</translation>
    </message>
    <message>
        <source>The device did not answer the command</source>
        <translation>Устройство не ответило на команду</translation>
    </message>
</context>
<context>
    <name>UploadJob</name>
    <message>
        <source>File Upload</source>
        <translation>Загрузка файла</translation>
    </message>
    <message>
        <source>%1 was not uploaded</source>
        <translation>%1 не загружен</translation>
    </message>
</context>
<context>
    <name>hiddfu_worker</name>
    <message>
        <source>Unknown command %1</source>
        <translation>Неизвестная команда %1</translation>
    </message>
    <message>
        <source>Cannot read from file: %1</source>
        <translation>Не удаётся прочитать файл: %1</translation>
    </message>
    <message>
        <source>Transport unexpectedly closed</source>
        <translation>Соединение неожиданно закрыто</translation>
    </message>
    <message>
        <source>The device did not confirm the end of the flash</source>
        <translation>Устройство не подтвердило завершение записи</translation>
    </message>
    <message>
        <source>Device is not reponsing!</source>
        <translation>Устройство не отвечает!</translation>
    </message>
    <message>
        <source>Invalid response</source>
        <translation>Неверный ответ</translation>
    </message>
    <message>
        <source>Transport error: %1</source>
        <translation>Ошибка транспорта: %1</translation>
    </message>
    <message>
        <source>Flashed</source>
        <translation>Записано</translation>
    </message>
    <message>
        <source>Invalid &apos;SET_ADDR&apos; reply</source>
        <translation>Неверный ответ &apos;SET_ADDR&apos;</translation>
    </message>
    <message>
        <source>Invalid ERROR reply</source>
        <translation>Неверный ответ ERROR</translation>
    </message>
    <message>
        <source>Device error %1 at command %2</source>
        <translation>Ошибка устройства %1 при команде %2</translation>
    </message>
    <message>
        <source>Invalid &apos;EXEC&apos; reply</source>
        <translation>Неверный ответ &apos;EXEC&apos;</translation>
    </message>
    <message>
        <source>DFU device discovered</source>
        <translation>Обнаружено устройство DFU</translation>
    </message>
    <message>
        <source>Invalid &apos;STATUS&apos; reply</source>
        <translation>Неверный ответ &apos;STATUS&apos;</translation>
    </message>
    <message>
        <source>The device did not recover from lost replies</source>
        <translation>Устройство не восстановилось после потерянных ответов</translation>
    </message>
    <message>
        <source>The device&apos;s next write address is %1, not %2 as the flash left it</source>
        <translation>Следующий адрес записи устройства — %1, а не %2, как было при прошивке</translation>
    </message>
    <message>
        <source>The device did not carry out a step of the flash; sending it again</source>
        <translation>Устройство не выполнило шаг прошивки; он отправляется повторно</translation>
    </message>
    <message>
        <source>The device did not finish a step of the flash within %1 s</source>
        <translation>Устройство не завершило шаг прошивки за %1 с</translation>
    </message>
    <message>
        <source>A reply that answers no request on the link was dropped: %1</source>
        <translation>Отброшен ответ, не относящийся ни к одному запросу на линии: %1</translation>
    </message>
    <message>
        <source>Busy: a flash is running</source>
        <translation>Занято: идёт прошивка</translation>
    </message>
    <message>
        <source>The adapter was set up again during the flash</source>
        <translation>Адаптер был настроен заново во время прошивки</translation>
    </message>
    <message>
        <source>No responce from the device</source>
        <translation>Нет ответа от устройства</translation>
    </message>
    <message>
        <source>A write&apos;s reply was lost while the adapter segmented it: the flash starts again from the erase, frame by frame</source>
        <translation>Ответ на запись, переданную адаптером целиком, потерян: прошивка начинается заново со стирания, по кадрам</translation>
    </message>
</context>
</TS>
