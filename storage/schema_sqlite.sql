-- History database for SQLite. Times are TEXT "yyyy-MM-dd hh:mm:ss", so text
-- comparison orders them chronologically.
CREATE TABLE IF NOT EXISTS Sensors_history (
    sensor integer,
    chanel integer,
    nu double,
    vu double,
    izm double,
    rec_time TEXT
);
CREATE INDEX IF NOT EXISTS sensors_history_sensor_chanel_time ON Sensors_history (sensor, chanel, rec_time);
CREATE INDEX IF NOT EXISTS sensors_history_rec_time ON Sensors_history (rec_time);

-- The window of the history table: exactly one row.
CREATE TABLE IF NOT EXISTS interval (dat_min TEXT, dat_max TEXT);
INSERT INTO interval (dat_min, dat_max)
    SELECT '1899-12-30 00:00:00', '1899-12-30 00:00:00'
    WHERE NOT EXISTS (SELECT 1 FROM interval);

-- Rows inside the window, both ends included.
CREATE VIEW IF NOT EXISTS sensors_history1 AS
    SELECT h.rec_time AS rec_time, h.sensor AS Sensor, h.chanel AS chanel,
           h.nu AS NU, h.izm AS Izm, h.vu AS VU
    FROM Sensors_history h, interval i
    WHERE h.rec_time >= i.dat_min AND h.rec_time <= i.dat_max
    ORDER BY h.rec_time, h.sensor, h.chanel;

-- One row per poll (rec_time, Sensor) inside the window, izm of each channel.
CREATE VIEW IF NOT EXISTS query_sensors_history AS
    SELECT rec_time, Sensor,
           max(CASE WHEN chanel = 1 THEN Izm END) AS "1",
           max(CASE WHEN chanel = 2 THEN Izm END) AS "2",
           max(CASE WHEN chanel = 3 THEN Izm END) AS "3",
           max(CASE WHEN chanel = 4 THEN Izm END) AS "4",
           max(CASE WHEN chanel = 5 THEN Izm END) AS "5",
           max(CASE WHEN chanel = 6 THEN Izm END) AS "6",
           max(CASE WHEN chanel = 7 THEN Izm END) AS "7",
           max(CASE WHEN chanel = 8 THEN Izm END) AS "8",
           max(CASE WHEN chanel = 9 THEN Izm END) AS "9",
           max(CASE WHEN chanel = 10 THEN Izm END) AS "10",
           max(CASE WHEN chanel = 11 THEN Izm END) AS "11",
           max(CASE WHEN chanel = 12 THEN Izm END) AS "12"
    FROM sensors_history1
    GROUP BY rec_time, Sensor
    ORDER BY rec_time, Sensor;

-- Every controller address present in the history.
CREATE VIEW IF NOT EXISTS sens_num AS
    SELECT DISTINCT sensor AS Sensor FROM Sensors_history ORDER BY sensor;
