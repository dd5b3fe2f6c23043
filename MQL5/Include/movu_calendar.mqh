//+------------------------------------------------------------------+
//|                                               movu_calendar.mqh  |
//|   Typed calendar data for MQL5: a strict JSON reader, the day,    |
//|   changes and meta answers as structs, time helpers, recorded     |
//|   days for the Strategy Tester. Needs no DLL.                     |
//+------------------------------------------------------------------+
/*
   The service answers in JSON (docs/calendar-data.md has the schemas).
   MovuParseEvents() turns a day or changes answer into MovuCalendarEvent
   structs, MovuParseMeta() the meta answer; MovuMergeEvents() applies a
   changes answer to a held day. Every time is UTC; MovuUtcToServer()
   moves it to the trade server's clock.

   The reader is strict (RFC 8259): a text it does not accept whole is
   refused with a message, never half read. Nesting deeper than
   MOVU_JSON_MAX_DEPTH is refused too, so a hostile answer cannot exhaust
   the stack (1 MB for indicators).
*/
#ifndef MOVU_CALENDAR_MQH
#define MOVU_CALENDAR_MQH

#ifndef MOVU_JSON_MAX_DEPTH
#define MOVU_JSON_MAX_DEPTH 64
#endif

//--- node types of CMovuJson
#define MOVU_JSON_NULL    0
#define MOVU_JSON_BOOL    1
#define MOVU_JSON_NUMBER  2
#define MOVU_JSON_STRING  3
#define MOVU_JSON_ARRAY   4
#define MOVU_JSON_OBJECT  5

//--- importance of an event
#define MOVU_IMPORTANCE_UNKNOWN 0
#define MOVU_IMPORTANCE_LOW     1
#define MOVU_IMPORTANCE_MEDIUM  2
#define MOVU_IMPORTANCE_HIGH    3

//--- where recorded days live: the terminal's MQL5\Files or the common folder
#define MOVU_RECORD_OFF     0
#define MOVU_RECORD_LOCAL   1
#define MOVU_RECORD_COMMON  2
//--- one file per recorded UTC day: <folder>\YYYY-MM-DD.txt
#ifndef MOVU_RECORD_FOLDER
#define MOVU_RECORD_FOLDER  "movu_calendar"
#endif
#define MOVU_RECORD_HEADER  "movu-calendar-day\t1"
//--- days a replay holds in memory at once (a backtest over years stays bounded)
#ifndef MOVU_REPLAY_DAYS
#define MOVU_REPLAY_DAYS    4
#endif
//--- writers of one terminal take turns through this global variable
#ifndef MOVU_RECORD_LOCK
#define MOVU_RECORD_LOCK    "movu.calendar.lock"
#endif
#define MOVU_RECORD_LOCK_WAIT_MS   3000   // a writer gives up after this
#define MOVU_RECORD_LOCK_STALE_MS  30000  // a lock held this long is taken over

//--- how the tester turns simulated server time into UTC for a day not recorded
#define MOVU_CLOCK_RECORDED  0   // only recorded offsets
#define MOVU_CLOCK_FIXED     1   // fixed offset (seconds)
#define MOVU_CLOCK_US_DST    2   // UTC+2, UTC+3 while US daylight saving time is in force (common broker clock)
#define MOVU_CLOCK_EU_DST    3   // UTC+2, UTC+3 between the EU switch dates

//--- what a replay knows of a day at a moment
#define MOVU_DAY_UNKNOWN 0        // no recording / no data for that day
#define MOVU_DAY_KNOWN   1

//+------------------------------------------------------------------+
//| One value of a parsed text. Children are linked: first, next.     |
//+------------------------------------------------------------------+
struct MovuJsonNode
  {
   int               type;
   int               first;      // first child (array, object), -1 when none
   int               last;       // last child, for appending
   int               next;       // next sibling, -1 when none
   int               count;      // number of children
   string            key;        // member name, when the parent is an object
   string            text;       // string value
   double            number;
   long              integer;    // the number, when it is whole and fits
   bool              whole;
   bool              flag;       // bool value
  };

//+------------------------------------------------------------------+
//| CMovuJson: parses a whole text into a flat node array.            |
//| Parse() returns false with Error() on anything not strict JSON.   |
//+------------------------------------------------------------------+
class CMovuJson
  {
private:
   MovuJsonNode      m_nodes[];
   int               m_count;
   ushort            m_chars[];
   int               m_len;
   int               m_pos;
   string            m_error;

   int               Add(const int type,const int parent,const string key);
   bool              Fail(const string what);
   void              SkipBlanks(void);
   bool              Value(const int parent,const string key,const int depth);
   bool              Text(string &out);
   bool              Hex4(int &unit);
   bool              Number(const int node);
   bool              Literal(const string word);

public:
                     CMovuJson(void) : m_count(0),m_len(0),m_pos(0) {}
   bool              Parse(const string text);
   string            Error(void) const { return(m_error); }
   int               Root(void) const  { return(m_count>0 ? 0 : -1); }
   int               Type(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].type : -1); }
   int               Count(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].count : 0); }
   int               First(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].first : -1); }
   int               Next(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].next : -1); }
   string            Key(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].key : ""); }
   int               Member(const int object,const string key) const;
   bool              IsNull(const int node) const { return(Type(node)==MOVU_JSON_NULL); }
   bool              GetString(const int node,string &out) const;
   bool              GetNumber(const int node,double &out) const;
   bool              GetLong(const int node,long &out) const;
   bool              GetBool(const int node,bool &out) const;
  };

//+------------------------------------------------------------------+
bool CMovuJson::Parse(const string text)
  {
   m_count=0;
   m_error="";
   m_pos=0;
   ArrayResize(m_chars,0);
   m_len=StringToShortArray(text,m_chars);
//--- the copy ends with a terminating zero; a zero inside is not JSON
   if(m_len>0 && m_chars[m_len-1]==0)
      m_len--;
   SkipBlanks();
   if(!Value(-1,"",0))
      return(false);
   SkipBlanks();
   if(m_pos<m_len)
      return(Fail("text after the value"));
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::Fail(const string what)
  {
   if(m_error=="")
      m_error=what+" at character "+IntegerToString(m_pos);
   m_count=0;
   return(false);
  }

//+------------------------------------------------------------------+
int CMovuJson::Add(const int type,const int parent,const string key)
  {
   if(m_count>=ArraySize(m_nodes) && ArrayResize(m_nodes,m_count+1,m_count+64)<0)
      return(-1);
   int n=m_count++;
   m_nodes[n].type=type;
   m_nodes[n].first=-1;
   m_nodes[n].last=-1;
   m_nodes[n].next=-1;
   m_nodes[n].count=0;
   m_nodes[n].key=key;
   m_nodes[n].text="";
   m_nodes[n].number=0;
   m_nodes[n].integer=0;
   m_nodes[n].whole=false;
   m_nodes[n].flag=false;
   if(parent>=0)
     {
      if(m_nodes[parent].last>=0)
         m_nodes[m_nodes[parent].last].next=n;
      else
         m_nodes[parent].first=n;
      m_nodes[parent].last=n;
      m_nodes[parent].count++;
     }
   return(n);
  }

//+------------------------------------------------------------------+
void CMovuJson::SkipBlanks(void)
  {
   while(m_pos<m_len)
     {
      ushort c=m_chars[m_pos];
      if(c!=' ' && c!='\t' && c!='\n' && c!='\r')
         return;
      m_pos++;
     }
  }

//+------------------------------------------------------------------+
bool CMovuJson::Literal(const string word)
  {
   int n=StringLen(word);
   if(m_pos+n>m_len)
      return(Fail("truncated text"));
   for(int i=0; i<n; i++)
      if(m_chars[m_pos+i]!=StringGetCharacter(word,i))
         return(Fail("unknown word"));
   m_pos+=n;
   return(true);
  }

//+------------------------------------------------------------------+
//| One value at m_pos, appended to parent under key.                 |
//+------------------------------------------------------------------+
bool CMovuJson::Value(const int parent,const string key,const int depth)
  {
   if(m_pos>=m_len)
      return(Fail("truncated text"));
   ushort c=m_chars[m_pos];
   int node=-1;
   if(c=='{' || c=='[')
     {
      if(depth>=MOVU_JSON_MAX_DEPTH)
         return(Fail("nesting deeper than "+IntegerToString(MOVU_JSON_MAX_DEPTH)));
      bool object=(c=='{');
      ushort close=(object ? '}' : ']');
      node=Add(object ? MOVU_JSON_OBJECT : MOVU_JSON_ARRAY,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_pos++;
      SkipBlanks();
      if(m_pos<m_len && m_chars[m_pos]==close)
        {
         m_pos++;
         return(true);
        }
      while(true)
        {
         string name="";
         if(object)
           {
            if(m_pos>=m_len)
               return(Fail("truncated text"));
            if(m_chars[m_pos]!='"')
               return(Fail("member name expected"));
            if(!Text(name))
               return(false);
            if(Member(node,name)>=0)
               return(Fail("member \""+name+"\" given twice"));
            SkipBlanks();
            if(m_pos>=m_len)
               return(Fail("truncated text"));
            if(m_chars[m_pos]!=':')
               return(Fail("':' expected"));
            m_pos++;
            SkipBlanks();
           }
         if(!Value(node,name,depth+1))
            return(false);
         SkipBlanks();
         if(m_pos>=m_len)
            return(Fail("truncated text"));
         if(m_chars[m_pos]==close)
           {
            m_pos++;
            return(true);
           }
         if(m_chars[m_pos]!=',')
            return(Fail("',' expected"));
         m_pos++;
         SkipBlanks();
        }
     }
   if(c=='"')
     {
      string s;
      if(!Text(s))
         return(false);
      node=Add(MOVU_JSON_STRING,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_nodes[node].text=s;
      return(true);
     }
   if(c=='t' || c=='f')
     {
      if(!Literal(c=='t' ? "true" : "false"))
         return(false);
      node=Add(MOVU_JSON_BOOL,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_nodes[node].flag=(c=='t');
      return(true);
     }
   if(c=='n')
     {
      if(!Literal("null"))
         return(false);
      return(Add(MOVU_JSON_NULL,parent,key)>=0 || Fail("out of memory"));
     }
   node=Add(MOVU_JSON_NUMBER,parent,key);
   if(node<0)
      return(Fail("out of memory"));
   return(Number(node));
  }

//+------------------------------------------------------------------+
bool CMovuJson::Hex4(int &unit)
  {
   unit=0;
   if(m_pos+4>m_len)
      return(Fail("truncated text"));
   for(int i=0; i<4; i++)
     {
      ushort c=m_chars[m_pos++];
      int d=-1;
      if(c>='0' && c<='9')
         d=c-'0';
      else if(c>='a' && c<='f')
         d=c-'a'+10;
      else if(c>='A' && c<='F')
         d=c-'A'+10;
      if(d<0)
         return(Fail("bad \\u escape"));
      unit=unit*16+d;
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| A string from its opening quote; runs without escapes are copied  |
//| whole.                                                            |
//+------------------------------------------------------------------+
bool CMovuJson::Text(string &out)
  {
   out="";
   m_pos++;
   int run=m_pos;
   while(m_pos<m_len)
     {
      ushort c=m_chars[m_pos];
      if(c=='"')
        {
         if(m_pos>run)
            out+=ShortArrayToString(m_chars,run,m_pos-run);
         m_pos++;
         return(true);
        }
      if(c<0x20)
         return(Fail("control character in a string"));
      if(c!='\\')
        {
         m_pos++;
         continue;
        }
      if(m_pos>run)
         out+=ShortArrayToString(m_chars,run,m_pos-run);
      m_pos++;
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      ushort e=m_chars[m_pos++];
      ushort unit=0;
      switch(e)
        {
         case '"':  unit='"';  break;
         case '\\': unit='\\'; break;
         case '/':  unit='/';  break;
         case 'b':  unit=8;    break;
         case 'f':  unit=12;   break;
         case 'n':  unit=10;   break;
         case 'r':  unit=13;   break;
         case 't':  unit=9;    break;
         case 'u':
           {
            int value=0;
            if(!Hex4(value))
               return(false);
            //--- an MQL5 string ends at a zero unit: refuse rather than cut
            if(value==0)
               return(Fail("\\u0000 in a string"));
            unit=(ushort)value;
            break;
           }
         default:
            return(Fail("bad escape"));
        }
      out+=ShortToString(unit);
      run=m_pos;
     }
   return(Fail("truncated text"));
  }

//+------------------------------------------------------------------+
//| -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?                     |
//| The value is computed here rather than by StringToDouble, so the  |
//| result does not depend on the terminal's number reading.          |
//+------------------------------------------------------------------+
bool CMovuJson::Number(const int node)
  {
   bool negative=false;
   if(m_chars[m_pos]=='-')
     {
      negative=true;
      m_pos++;
     }
   if(m_pos>=m_len)
      return(Fail("truncated text"));
   if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
      return(Fail("value expected"));
   double mantissa=0;
   long whole=0;          // minus the digits so far
   bool fits=true;
   int digits=0;          // significant digits taken into the mantissa
   int scale=0;           // power of ten the mantissa is off by
   if(m_chars[m_pos]=='0')
     {
      m_pos++;
      if(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
         return(Fail("leading zero"));
     }
   else
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         int d=m_chars[m_pos++]-'0';
         //--- counted below zero, so LONG_MIN fits too
         if(whole<(LONG_MIN+d)/10)
            fits=false;
         else
            whole=whole*10-d;
         if(digits<17)
           {
            mantissa=mantissa*10+d;
            if(mantissa>0)
               digits++;
           }
         else
            scale++;
        }
   bool integral=true;
   if(m_pos<m_len && m_chars[m_pos]=='.')
     {
      integral=false;
      m_pos++;
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
         return(Fail("digit expected after '.'"));
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         int d=m_chars[m_pos++]-'0';
         if(digits<17)
           {
            mantissa=mantissa*10+d;
            scale--;
            if(mantissa>0)
               digits++;
           }
        }
     }
   if(m_pos<m_len && (m_chars[m_pos]=='e' || m_chars[m_pos]=='E'))
     {
      integral=false;
      m_pos++;
      int sign=1;
      if(m_pos<m_len && (m_chars[m_pos]=='+' || m_chars[m_pos]=='-'))
        {
         sign=(m_chars[m_pos]=='-' ? -1 : 1);
         m_pos++;
        }
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
         return(Fail("digit expected in the exponent"));
      int exponent=0;
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         if(exponent<100000)
            exponent=exponent*10+(m_chars[m_pos]-'0');
         m_pos++;
        }
      scale+=sign*exponent;
     }
//--- dividing by an exact power of ten rounds once, so 0.1 is the double 0.1
   double value=mantissa;
   if(value!=0 && scale>0)
      value=(scale>400 ? MathPow(10,400) : value*MathPow(10,scale));
   else if(value!=0 && scale<0)
      value=(scale<-400 ? 0 : (scale<-300 ? value/MathPow(10,-scale-300)/MathPow(10,300) : value/MathPow(10,-scale)));
   if(!MathIsValidNumber(value))
      return(Fail("number out of range"));
   m_nodes[node].number=(negative ? -value : value);
   if(integral && fits && (negative || whole!=LONG_MIN))
     {
      m_nodes[node].whole=true;
      m_nodes[node].integer=(negative ? whole : -whole);
     }
   return(true);
  }

//+------------------------------------------------------------------+
int CMovuJson::Member(const int object,const string key) const
  {
   if(Type(object)!=MOVU_JSON_OBJECT)
      return(-1);
   for(int n=m_nodes[object].first; n>=0; n=m_nodes[n].next)
      if(m_nodes[n].key==key)
         return(n);
   return(-1);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetString(const int node,string &out) const
  {
   if(Type(node)!=MOVU_JSON_STRING)
      return(false);
   out=m_nodes[node].text;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetNumber(const int node,double &out) const
  {
   if(Type(node)!=MOVU_JSON_NUMBER)
      return(false);
   out=m_nodes[node].number;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetLong(const int node,long &out) const
  {
   if(Type(node)!=MOVU_JSON_NUMBER || !m_nodes[node].whole)
      return(false);
   out=m_nodes[node].integer;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetBool(const int node,bool &out) const
  {
   if(Type(node)!=MOVU_JSON_BOOL)
      return(false);
   out=m_nodes[node].flag;
   return(true);
  }

//+------------------------------------------------------------------+
//| A text as a JSON string, quotes included, for request bodies.     |
//+------------------------------------------------------------------+
string MovuJsonString(const string text)
  {
   string out="\"";
   int n=StringLen(text);
   int run=0;
   for(int i=0; i<n; i++)
     {
      ushort c=StringGetCharacter(text,i);
      string escaped="";
      if(c=='"')
         escaped="\\\"";
      else if(c=='\\')
         escaped="\\\\";
      else if(c=='\n')
         escaped="\\n";
      else if(c=='\r')
         escaped="\\r";
      else if(c=='\t')
         escaped="\\t";
      else if(c<0x20)
         escaped=StringFormat("\\u%04x",c);
      else
         continue;
      out+=StringSubstr(text,run,i-run)+escaped;
      run=i+1;
     }
   return(out+StringSubstr(text,run)+"\"");
  }

//+------------------------------------------------------------------+
//| Seconds since 1970 of a UTC calendar day (proleptic Gregorian).   |
//+------------------------------------------------------------------+
long MovuDaysFromCivil(int year,const int month,const int day)
  {
   if(month<=2)
      year--;
   long era=(year>=0 ? year : year-399)/400;
   long yoe=year-era*400;
   long mp=(month+9)%12;
   long doy=(153*mp+2)/5+day-1;
   long doe=yoe*365+yoe/4-yoe/100+doy;
   return(era*146097+doe-719468);
  }

//+------------------------------------------------------------------+
int MovuDaysInMonth(const int year,const int month)
  {
   if(month==2)
      return((year%4==0 && (year%100!=0 || year%400==0)) ? 29 : 28);
   return((month==4 || month==6 || month==9 || month==11) ? 30 : 31);
  }

//+------------------------------------------------------------------+
//| Digits at text[at..at+count) as a number; -1 when not all digits. |
//+------------------------------------------------------------------+
int MovuDigits(const string text,const int at,const int count)
  {
   if(at+count>StringLen(text))
      return(-1);
   int value=0;
   for(int i=at; i<at+count; i++)
     {
      ushort c=StringGetCharacter(text,i);
      if(c<'0' || c>'9')
         return(-1);
      value=value*10+(c-'0');
     }
   return(value);
  }

//+------------------------------------------------------------------+
//| An RFC 3339 time ("2024-03-05T13:30:00Z", "...T15:30:00.5+02:00") |
//| as UTC. False for anything else, including a time with no zone.   |
//+------------------------------------------------------------------+
bool MovuParseTime(const string text,datetime &utc)
  {
   int len=StringLen(text);
   if(len<20)
      return(false);
   int year=MovuDigits(text,0,4),month=MovuDigits(text,5,2),day=MovuDigits(text,8,2);
   int hour=MovuDigits(text,11,2),minute=MovuDigits(text,14,2),second=MovuDigits(text,17,2);
   ushort t=StringGetCharacter(text,10);
   if(year<0 || month<1 || month>12 || day<1 || hour<0 || hour>23 || minute<0 || minute>59 ||
      second<0 || second>60 || StringGetCharacter(text,4)!='-' || StringGetCharacter(text,7)!='-' ||
      (t!='T' && t!='t' && t!=' ') || StringGetCharacter(text,13)!=':' || StringGetCharacter(text,16)!=':')
      return(false);
   if(day>MovuDaysInMonth(year,month))
      return(false);
   int i=19;
   if(StringGetCharacter(text,i)=='.')
     {
      i++;
      int start=i;
      while(i<len && StringGetCharacter(text,i)>='0' && StringGetCharacter(text,i)<='9')
         i++;
      if(i==start)
         return(false);
     }
   if(i>=len)
      return(false);
   ushort zone=StringGetCharacter(text,i);
   int offset=0;
   if(zone=='Z' || zone=='z')
      i++;
   else if(zone=='+' || zone=='-')
     {
      int oh=MovuDigits(text,i+1,2),om=MovuDigits(text,i+4,2);
      if(oh<0 || oh>23 || om<0 || om>59 || StringGetCharacter(text,i+3)!=':')
         return(false);
      offset=(oh*3600+om*60)*(zone=='-' ? -1 : 1);
      i+=6;
     }
   else
      return(false);
   if(i!=len)
      return(false);
//--- a leap second counts as the last second of its minute
   if(second==60)
      second=59;
   utc=(datetime)(MovuDaysFromCivil(year,month,day)*86400+hour*3600+minute*60+second-offset);
   return(true);
  }

//+------------------------------------------------------------------+
//| A time member: a string in RFC 3339 or whole seconds since 1970.  |
//+------------------------------------------------------------------+
bool MovuJsonTime(const CMovuJson &json,const int node,datetime &utc)
  {
   string text;
   long seconds=0;
   if(json.GetString(node,text))
      return(MovuParseTime(text,utc));
   if(json.GetLong(node,seconds) && seconds>=0)
     {
      utc=(datetime)seconds;
      return(true);
     }
   return(false);
  }

//+------------------------------------------------------------------+
//| The trade server's offset from UTC in seconds, in steps of 15     |
//| minutes. TimeGMT() equals the server time in the Strategy Tester, |
//| so there the program gives the offset (tester_offset).            |
//+------------------------------------------------------------------+
int MovuServerOffset(const int tester_offset=0)
  {
   if(MQLInfoInteger(MQL_TESTER))
      return(tester_offset);
   long difference=(long)(TimeTradeServer()-TimeGMT());
   return((int)MathRound(difference/900.0)*900);
  }

//+------------------------------------------------------------------+
datetime MovuUtcToServer(const datetime utc,const int offset_seconds)
  {
   return(utc+offset_seconds);
  }

//+------------------------------------------------------------------+
//| One calendar event. Times are UTC; a value the answer does not    |
//| give (missing, null or "") has its has_ flag false.               |
//+------------------------------------------------------------------+
struct MovuCalendarEvent
  {
   long              id;
   string            event;       // kind of release, e.g. "cpi-yy"
   string            title;
   string            currency;
   int               importance;  // MOVU_IMPORTANCE_*
   string            source;
   string            unit;
   datetime          time;
   double            actual;
   double            forecast;
   double            previous;
   bool              has_actual;
   bool              has_forecast;
   bool              has_previous;
   datetime          updated;     // last revision; 0 when not given
  };

struct MovuCurrency
  {
   string            code;
   string            name;
   string            symbol;
  };

struct MovuSource
  {
   string            id;
   string            name;
  };

//--- a kind of event the calendar knows (meta answer)
struct MovuEventKind
  {
   string            event;
   string            title;
   string            currency;
   int               importance;
   string            unit;
   string            time;        // usual release time, "HH:MM" UTC
   int               weekdays;    // bit d set: released on weekday d (0 Monday .. 6 Sunday)
  };

//+------------------------------------------------------------------+
int MovuImportance(const CMovuJson &json,const int node)
  {
   string text;
   long level=0;
   if(json.GetString(node,text))
     {
      StringToLower(text);
      if(text=="low")
         return(MOVU_IMPORTANCE_LOW);
      if(text=="medium" || text=="moderate")
         return(MOVU_IMPORTANCE_MEDIUM);
      if(text=="high")
         return(MOVU_IMPORTANCE_HIGH);
     }
   else if(json.GetLong(node,level) && level>=MOVU_IMPORTANCE_LOW && level<=MOVU_IMPORTANCE_HIGH)
      return((int)level);
   return(MOVU_IMPORTANCE_UNKNOWN);
  }

//+------------------------------------------------------------------+
//| An optional text member: false only when present and no string.  |
//+------------------------------------------------------------------+
bool MovuOptionalText(const CMovuJson &json,const int object,const string key,string &out)
  {
   out="";
   int node=json.Member(object,key);
   return(node<0 || json.IsNull(node) || json.GetString(node,out));
  }

//+------------------------------------------------------------------+
//| An optional number: a number, or missing/null/"" for no value.    |
//+------------------------------------------------------------------+
bool MovuOptionalNumber(const CMovuJson &json,const int object,const string key,double &value,bool &has)
  {
   value=0;
   has=false;
   int node=json.Member(object,key);
   string text;
   if(node<0 || json.IsNull(node) || (json.GetString(node,text) && text==""))
      return(true);
   has=json.GetNumber(node,value);
   return(has);
  }

//+------------------------------------------------------------------+
//| The root object of an answer; false with the service's error.     |
//+------------------------------------------------------------------+
bool MovuAnswerRoot(CMovuJson &json,const string text,int &root,string &error)
  {
   root=-1;
   if(!json.Parse(text))
     {
      error="not JSON: "+json.Error();
      return(false);
     }
   root=json.Root();
   if(json.Type(root)!=MOVU_JSON_OBJECT)
     {
      error="the answer is not an object";
      return(false);
     }
   bool ok=true;
   int okNode=json.Member(root,"ok");
   if(okNode>=0 && (!json.GetBool(okNode,ok) || !ok))
     {
      string code="";
      json.GetString(json.Member(root,"error"),code);
      error="the service refused: "+(code!="" ? code : "no error code");
      return(false);
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| One event object. Required: id (whole number), title, time.       |
//+------------------------------------------------------------------+
bool MovuReadEvent(const CMovuJson &json,const int node,MovuCalendarEvent &e,string &error)
  {
   e.id=0;
   e.importance=MOVU_IMPORTANCE_UNKNOWN;
   e.time=0;
   e.updated=0;
   if(json.Type(node)!=MOVU_JSON_OBJECT)
     {
      error="not an object";
      return(false);
     }
   if(!json.GetLong(json.Member(node,"id"),e.id))
     {
      error="no whole-number id";
      return(false);
     }
   if(!json.GetString(json.Member(node,"title"),e.title))
     {
      error="no title";
      return(false);
     }
   int when=json.Member(node,"time");
   if(when<0)
      when=json.Member(node,"timestamp");
   if(!MovuJsonTime(json,when,e.time))
     {
      error="no time (RFC 3339 with a zone, or seconds)";
      return(false);
     }
   int updated=json.Member(node,"updated_at");
   if(updated>=0 && !json.IsNull(updated) && !MovuJsonTime(json,updated,e.updated))
     {
      error="updated_at is not a time";
      return(false);
     }
   e.importance=MovuImportance(json,json.Member(node,"importance"));
   if(!MovuOptionalText(json,node,"event",e.event) || !MovuOptionalText(json,node,"currency",e.currency) ||
      !MovuOptionalText(json,node,"source",e.source) || !MovuOptionalText(json,node,"unit",e.unit))
     {
      error="a text member is not a string";
      return(false);
     }
   if(!MovuOptionalNumber(json,node,"actual",e.actual,e.has_actual) ||
      !MovuOptionalNumber(json,node,"forecast",e.forecast,e.has_forecast) ||
      !MovuOptionalNumber(json,node,"previous",e.previous,e.has_previous))
     {
      error="actual, forecast or previous is not a number";
      return(false);
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| A day or changes answer as events, in the answer's order. On      |
//| failure events is left empty and error says why.                  |
//+------------------------------------------------------------------+
bool MovuParseEvents(const string text,MovuCalendarEvent &events[],string &error)
  {
   ArrayResize(events,0);
   error="";
   CMovuJson json;
   int root=-1;
   if(!MovuAnswerRoot(json,text,root,error))
      return(false);
   int list=json.Member(root,"events");
   if(json.Type(list)!=MOVU_JSON_ARRAY)
     {
      error="no events array";
      return(false);
     }
   if(ArrayResize(events,json.Count(list))<0)
     {
      error="out of memory";
      return(false);
     }
   int i=0;
   for(int node=json.First(list); node>=0; node=json.Next(node))
     {
      string why="";
      if(!MovuReadEvent(json,node,events[i],why))
        {
         error="event "+IntegerToString(i)+": "+why;
         ArrayResize(events,0);
         return(false);
        }
      i++;
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| The meta answer: currencies, sources and the kinds of event.      |
//+------------------------------------------------------------------+
bool MovuParseMeta(const string text,MovuCurrency &currencies[],MovuSource &sources[],
                   MovuEventKind &kinds[],string &error)
  {
   ArrayResize(currencies,0);
   ArrayResize(sources,0);
   ArrayResize(kinds,0);
   error="";
   CMovuJson json;
   int root=-1;
   if(!MovuAnswerRoot(json,text,root,error))
      return(false);
   int c=json.Member(root,"currencies"),s=json.Member(root,"sources"),k=json.Member(root,"events");
   if(json.Type(c)!=MOVU_JSON_ARRAY || json.Type(s)!=MOVU_JSON_ARRAY || json.Type(k)!=MOVU_JSON_ARRAY)
     {
      error="currencies, sources or events is not an array";
      return(false);
     }
   ArrayResize(currencies,json.Count(c));
   ArrayResize(sources,json.Count(s));
   ArrayResize(kinds,json.Count(k));
   bool ok=true;
   int i=0;
   for(int n=json.First(c); n>=0 && ok; n=json.Next(n),i++)
      ok=json.GetString(json.Member(n,"code"),currencies[i].code) &&
         MovuOptionalText(json,n,"name",currencies[i].name) && MovuOptionalText(json,n,"symbol",currencies[i].symbol);
   i=0;
   for(int n=json.First(s); n>=0 && ok; n=json.Next(n),i++)
      ok=json.GetString(json.Member(n,"id"),sources[i].id) && MovuOptionalText(json,n,"name",sources[i].name);
   i=0;
   for(int n=json.First(k); n>=0 && ok; n=json.Next(n),i++)
     {
      ok=json.GetString(json.Member(n,"event"),kinds[i].event) && MovuOptionalText(json,n,"title",kinds[i].title) &&
         MovuOptionalText(json,n,"currency",kinds[i].currency) && MovuOptionalText(json,n,"unit",kinds[i].unit) &&
         MovuOptionalText(json,n,"time",kinds[i].time);
      kinds[i].importance=MovuImportance(json,json.Member(n,"importance"));
      kinds[i].weekdays=0;
      int days=json.Member(n,"weekdays");
      for(int d=json.First(days); d>=0 && ok; d=json.Next(d))
        {
         long day=-1;
         ok=(json.GetLong(d,day) && day>=0 && day<=6);
         if(ok)
            kinds[i].weekdays|=(1<<(int)day);
        }
     }
   if(!ok)
     {
      error="a currency, source or event kind lacks a member or has one of the wrong type";
      ArrayResize(currencies,0);
      ArrayResize(sources,0);
      ArrayResize(kinds,0);
     }
   return(ok);
  }

//+------------------------------------------------------------------+
//| "YYYY-MM-DD" of a UTC moment.                                     |
//+------------------------------------------------------------------+
string MovuDate(const datetime when)
  {
   MqlDateTime t;
   TimeToStruct(when,t);
   return(StringFormat("%04d-%02d-%02d",t.year,t.mon,t.day));
  }

//+------------------------------------------------------------------+
//| Sorts the positions 0..n-1 by (first[i], second[i]), stably: the  |
//| runs already in order are found, then merged pairwise. n log n at |
//| worst; an answer already sorted, or a few sorted parts, costs n.  |
//+------------------------------------------------------------------+
void MovuSortOrder(const long &first[],const long &second[],const int n,int &order[])
  {
   int from[],into[],runs[];
   ArrayResize(from,n);
   ArrayResize(into,n);
   ArrayResize(runs,0,64);
   int count=0;
   for(int i=0; i<n; i++)
     {
      from[i]=i;
      if(i==0 || first[i]<first[i-1] || (first[i]==first[i-1] && second[i]<second[i-1]))
        {
         ArrayResize(runs,count+1,count+64);
         runs[count++]=i;
        }
     }
   ArrayResize(runs,count+1);
   runs[count]=n;
   while(count>1)
     {
      int merged=0;
      for(int r=0; r<count; r+=2)
        {
         //--- runs[count] is n, so a last run without a partner is copied as it is
         int lo=runs[r],mid=runs[r+1],hi=(r+2<=count ? runs[r+2] : n);
         int a=lo,b=mid,k=lo;
         while(a<mid && b<hi)
           {
            int x=from[a],y=from[b];
            //--- equal keys keep their order: the left run wins ties
            if(first[y]<first[x] || (first[y]==first[x] && second[y]<second[x]))
               into[k++]=from[b++];
            else
               into[k++]=from[a++];
           }
         while(a<mid)
            into[k++]=from[a++];
         while(b<hi)
            into[k++]=from[b++];
         runs[merged++]=lo;
        }
      runs[merged]=n;
      count=merged;
      ArraySwap(from,into);
     }
   ArraySwap(order,from);
  }

//+------------------------------------------------------------------+
//| Applies changes to a held day: an event of the same id is         |
//| replaced (the last change of an id wins), a new one added; the    |
//| day comes out sorted by time, then id. Ids are matched through a  |
//| hash table and the result sorted once (the held day and an answer |
//| in time order are runs already): no search per event.             |
//| Returns how many changes were applied.                            |
//+------------------------------------------------------------------+
int MovuMergeEvents(MovuCalendarEvent &day[],const MovuCalendarEvent &changes[])
  {
   int held=ArraySize(day),n=ArraySize(changes),all=held+n;
   if(n==0)
      return(0);
//--- open addressing, at most half full: id -> the last position with it
   int size=64;
   while(size<2*all)
      size*=2;
   int slot[];
   ArrayResize(slot,size);
   ArrayInitialize(slot,-1);
   long ids[];
   ArrayResize(ids,all);
   for(int i=0; i<all; i++)
     {
      long id=(i<held ? day[i].id : changes[i-held].id);
      ids[i]=id;
      int h=(int)(((ulong)id*2654435761)&(ulong)(size-1));
      while(slot[h]>=0 && ids[slot[h]]!=id)
         h=(h+1)&(size-1);
      slot[h]=i;
     }
//--- the survivors in their order, then sorted by time and id
   int keep[];
   long times[],keepIds[];
   ArrayResize(keep,all);
   ArrayResize(times,all);
   ArrayResize(keepIds,all);
   int kept=0;
   for(int i=0; i<all; i++)
     {
      int h=(int)(((ulong)ids[i]*2654435761)&(ulong)(size-1));
      while(ids[slot[h]]!=ids[i])
         h=(h+1)&(size-1);
      if(slot[h]!=i)
         continue;
      keep[kept]=i;
      times[kept]=(long)(i<held ? day[i].time : changes[i-held].time);
      keepIds[kept]=ids[i];
      kept++;
     }
   int byTime[];
   MovuSortOrder(times,keepIds,kept,byTime);
   MovuCalendarEvent merged[];
   if(ArrayResize(merged,kept)<0)
      return(0);
   for(int k=0; k<kept; k++)
     {
      int i=keep[byTime[k]];
      if(i<held)
         merged[k]=day[i];
      else
         merged[k]=changes[i-held];
     }
   ArraySwap(day,merged);
   return(n);
  }

//+------------------------------------------------------------------+
//| The "since" for the next changes request: the latest revision the |
//| held day knows (the service's clock, not this computer's). Only   |
//| updated_at counts: an event's own time may lie in the future, and |
//| asking from there would skip every change made before it.        |
//+------------------------------------------------------------------+
datetime MovuLatestUpdate(const MovuCalendarEvent &events[])
  {
   datetime latest=0;
   int n=ArraySize(events);
   for(int i=0; i<n; i++)
      if(events[i].updated>latest)
         latest=events[i].updated;
   return(latest);
  }

//+------------------------------------------------------------------+
//| Two observations of an event say the same.                        |
//+------------------------------------------------------------------+
bool MovuSameEvent(const MovuCalendarEvent &a,const MovuCalendarEvent &b)
  {
   return(a.id==b.id && a.time==b.time && a.updated==b.updated && a.importance==b.importance &&
          a.has_actual==b.has_actual && a.has_forecast==b.has_forecast && a.has_previous==b.has_previous &&
          (!a.has_actual || a.actual==b.actual) && (!a.has_forecast || a.forecast==b.forecast) &&
          (!a.has_previous || a.previous==b.previous) && a.title==b.title && a.event==b.event &&
          a.currency==b.currency && a.source==b.source && a.unit==b.unit);
  }

//+------------------------------------------------------------------+
//| The shortest text this library's reader turns back into exactly   |
//| the same double.                                                  |
//+------------------------------------------------------------------+
string MovuNumberText(const double value)
  {
   if(value==MathRound(value) && MathAbs(value)<1e15)
      return(IntegerToString((long)value));
   CMovuJson json;
   double back=0;
   string text="";
   for(int digits=1; digits<=16; digits++)
     {
      text=DoubleToString(value,-digits);
      if(json.Parse(text) && json.GetNumber(json.Root(),back) && back==value)
         return(text);
     }
   return(text);
  }

string MovuOptionalNumberText(const bool has,const double value)
  {
   return(has ? MovuNumberText(value) : "null");
  }

//+------------------------------------------------------------------+
//| An event as the JSON object MovuReadEvent() reads back equal.     |
//+------------------------------------------------------------------+
string MovuEventJson(const MovuCalendarEvent &e)
  {
   string text="{\"id\":"+IntegerToString(e.id)+",\"event\":"+MovuJsonString(e.event)+
               ",\"title\":"+MovuJsonString(e.title)+",\"currency\":"+MovuJsonString(e.currency)+
               ",\"importance\":"+IntegerToString(e.importance)+",\"source\":"+MovuJsonString(e.source)+
               ",\"unit\":"+MovuJsonString(e.unit)+",\"time\":"+IntegerToString((long)e.time);
   if(e.updated>0)
      text+=",\"updated_at\":"+IntegerToString((long)e.updated);
   return(text+",\"actual\":"+MovuOptionalNumberText(e.has_actual,e.actual)+
          ",\"forecast\":"+MovuOptionalNumberText(e.has_forecast,e.forecast)+
          ",\"previous\":"+MovuOptionalNumberText(e.has_previous,e.previous)+"}");
  }

//+------------------------------------------------------------------+
//| FNV-1a over a text's UTF-16 units, as 8 hex digits: the check of  |
//| a recorded line, so a hand edit or a cut is not taken as data.    |
//+------------------------------------------------------------------+
string MovuLineCheck(const string text)
  {
   uint hash=2166136261;
   int n=StringLen(text);
   for(int i=0; i<n; i++)
     {
      hash^=(uint)StringGetCharacter(text,i);
      hash*=16777619;
     }
   return(StringFormat("%08x",hash));
  }

int MovuRecordFlags(const int where)
  {
   return(where==MOVU_RECORD_COMMON ? FILE_COMMON : 0);
  }

string MovuRecordName(const string date)
  {
   return((string)MOVU_RECORD_FOLDER+"\\"+date+".txt");
  }

//+------------------------------------------------------------------+
//| The server's offset from UTC at a UTC moment under a clock rule.  |
//| US: from the second Sunday of March, 2:00 local (7:00 UTC), to    |
//| the first Sunday of November, 2:00 local (6:00 UTC). EU: from the |
//| last Sunday of March to the last Sunday of October, 1:00 UTC.     |
//+------------------------------------------------------------------+
datetime MovuNthSunday(const int year,const int month,const int nth)
  {
   long first=MovuDaysFromCivil(year,month,1);
   int weekday=(int)((first+4)%7);                  // 1970-01-01 was a Thursday (4)
   long sunday=first+(7-weekday)%7+7*(nth-1);
   return((datetime)(sunday*86400));
  }

datetime MovuLastSunday(const int year,const int month)
  {
   long last=MovuDaysFromCivil(year,month,MovuDaysInMonth(year,month));
   int weekday=(int)((last+4)%7);
   return((datetime)((last-weekday)*86400));
  }

int MovuRuleOffset(const int rule,const int fixed_offset,const datetime utc)
  {
   if(rule!=MOVU_CLOCK_US_DST && rule!=MOVU_CLOCK_EU_DST)
      return(fixed_offset);
   MqlDateTime t;
   TimeToStruct(utc,t);
   bool summer;
   if(rule==MOVU_CLOCK_US_DST)
      summer=(utc>=MovuNthSunday(t.year,3,2)+7*3600 && utc<MovuNthSunday(t.year,11,1)+6*3600);
   else
      summer=(utc>=MovuLastSunday(t.year,3)+3600 && utc<MovuLastSunday(t.year,10)+3600);
   return(summer ? 3*3600 : 2*3600);
  }

//+------------------------------------------------------------------+
//| CMovuRecordedDay: the observations of one UTC day.                |
//|                                                                  |
//| File (UTF-8, one line each, tab-separated, each line ending in    |
//| the check of the text before it):                                 |
//|   movu-calendar-day 1 YYYY-MM-DD check                            |
//|   observed offset id event-json check   an event as seen then     |
//|   observed offset id - check            the event was gone then   |
//|   observed offset - - check             seen, nothing new         |
//| observed: UTC seconds; offset: the server's offset from UTC then. |
//| Lines stay in the order written; reading sorts them once.         |
//+------------------------------------------------------------------+
class CMovuRecordedDay
  {
private:
   //--- one line of the file
   long              m_id[];          // -1: a line without an event
   datetime          m_observed[];
   int               m_offset[];
   bool              m_gone[];
   MovuCalendarEvent m_event[];
   string            m_line[];        // as written, for writing the file again
   bool              m_keepLines;     // false: read only for replay, the texts are not kept
   int               m_count;
   //--- lines with an event by (id, observed); where each id starts
   int               m_order[];
   int               m_group[];
   int               m_groups;
   int               m_groupOrder[];  // groups by the time of their newest line's event, then id
   //--- every line by observed, for the day's offsets and its first moment
   int               m_byTime[];
   //--- the answer of the last lookup, valid for moments in [m_from, m_until)
   MovuCalendarEvent m_answer[];
   int               m_pick[];
   int               m_picked;
   datetime          m_from;
   datetime          m_until;
   bool              m_cached;

   int               Add(const datetime observed,const int offset,const long id,const bool gone,
                         const MovuCalendarEvent &e,const string line);
   bool              ReadLine(const string line,string &why);
   void              Index(void);
   int               Latest(const int group,const datetime moment) const;
   int               Before(const datetime moment) const;
   void              Pick(const datetime moment);

public:
   string            date;
   bool              recorded;        // a sound file was found
   string            problem;         // why the file, or its rest, was refused

                     CMovuRecordedDay(void) { Clear(""); }
   void              Clear(const string day);
   bool              Load(const int where,const string day,const bool for_writing=true);
   bool              Save(const int where);
   int               Observe(const datetime observed,const int offset,const MovuCalendarEvent &events[]);
   int               AsOf(const datetime moment,MovuCalendarEvent &events[]);
   bool              OffsetAt(const datetime utc,const int rule,const int fixed_offset,int &offset) const;
   int               Offsets(int &list[]) const;
   int               Lines(void) const { return(m_count); }
   datetime          FirstObserved(void) const { return(m_count>0 ? m_observed[m_byTime[0]] : 0); }
  };

//+------------------------------------------------------------------+
void CMovuRecordedDay::Clear(const string day)
  {
   date=day;
   m_keepLines=true;
   recorded=false;
   problem="";
   m_count=0;
   m_groups=0;
   m_picked=0;
   m_cached=false;
   m_from=0;
   m_until=0;
   ArrayResize(m_id,0);
   ArrayResize(m_observed,0);
   ArrayResize(m_offset,0);
   ArrayResize(m_gone,0);
   ArrayResize(m_event,0);
   ArrayResize(m_line,0);
   ArrayResize(m_order,0);
   ArrayResize(m_group,0);
   ArrayResize(m_byTime,0);
   ArrayResize(m_pick,0);
   ArrayResize(m_answer,0);
   ArrayResize(m_groupOrder,0);
  }

//+------------------------------------------------------------------+
int CMovuRecordedDay::Add(const datetime observed,const int offset,const long id,const bool gone,
                          const MovuCalendarEvent &e,const string line)
  {
   int n=m_count;
   int reserve=(n<64 ? 64 : n);
   if(ArrayResize(m_id,n+1,reserve)<0 || ArrayResize(m_observed,n+1,reserve)<0 ||
      ArrayResize(m_offset,n+1,reserve)<0 || ArrayResize(m_gone,n+1,reserve)<0 ||
      ArrayResize(m_event,n+1,reserve)<0 || ArrayResize(m_line,n+1,reserve)<0)
      return(-1);
   m_id[n]=id;
   m_observed[n]=observed;
   m_offset[n]=offset;
   m_gone[n]=gone;
   m_event[n]=e;
   m_line[n]=(m_keepLines ? line : "");
   m_count++;
   return(n);
  }

//+------------------------------------------------------------------+
//| One recorded line; false (with why) when it is not sound.         |
//+------------------------------------------------------------------+
bool CMovuRecordedDay::ReadLine(const string line,string &why)
  {
   int tabs[4];
   int at=-1;
   for(int i=0; i<4; i++)
     {
      at=StringFind(line,"\t",at+1);
      if(at<0)
        {
         why="not five fields";
         return(false);
        }
      tabs[i]=at;
     }
   if(StringFind(line,"\t",tabs[3]+1)>=0)
     {
      why="more than five fields";
      return(false);
     }
   if(MovuLineCheck(StringSubstr(line,0,tabs[3]))!=StringSubstr(line,tabs[3]+1))
     {
      why="its check does not match (cut or edited)";
      return(false);
     }
   string observedText=StringSubstr(line,0,tabs[0]);
   string offsetText=StringSubstr(line,tabs[0]+1,tabs[1]-tabs[0]-1);
   string idText=StringSubstr(line,tabs[1]+1,tabs[2]-tabs[1]-1);
   string payload=StringSubstr(line,tabs[2]+1,tabs[3]-tabs[2]-1);
   long observed=StringToInteger(observedText);
   long offset=StringToInteger(offsetText);
   if(observed<=0 || IntegerToString(observed)!=observedText || IntegerToString(offset)!=offsetText ||
      offset<-16*3600 || offset>16*3600)
     {
      why="bad moment or offset";
      return(false);
     }
   MovuCalendarEvent e;
   ZeroMemory(e);
   e.id=-1;
   if(idText=="-")
     {
      if(payload!="-")
        {
         why="an event without an id";
         return(false);
        }
      return(Add((datetime)observed,(int)offset,-1,false,e,line)>=0);
     }
   long id=StringToInteger(idText);
   if(IntegerToString(id)!=idText)
     {
      why="bad id";
      return(false);
     }
   bool gone=(payload=="-");
   if(!gone)
     {
      CMovuJson json;
      if(!json.Parse(payload))
        {
         why="not JSON: "+json.Error();
         return(false);
        }
      if(!MovuReadEvent(json,json.Root(),e,why))
         return(false);
      if(e.id!=id)
        {
         why="the event's id is not the line's";
         return(false);
        }
     }
   e.id=id;
   return(Add((datetime)observed,(int)offset,id,gone,e,line)>=0);
  }

//+------------------------------------------------------------------+
//| Sorts once: by (id, observed) for lookups, by observed for the    |
//| day's clock. Equal keys keep the order written.                   |
//+------------------------------------------------------------------+
void CMovuRecordedDay::Index(void)
  {
   long keys[],moments[];
   ArrayResize(keys,m_count);
   ArrayResize(moments,m_count);
   for(int i=0; i<m_count; i++)
     {
      keys[i]=m_id[i];
      moments[i]=(long)m_observed[i];
     }
   MovuSortOrder(keys,moments,m_count,m_order);
   long none[];
   ArrayResize(none,m_count);
   ArrayInitialize(none,0);
   MovuSortOrder(moments,none,m_count,m_byTime);
   m_groups=0;
   ArrayResize(m_group,m_count+1);
   for(int k=0; k<m_count; k++)
      if(m_id[m_order[k]]>=0 && (k==0 || m_id[m_order[k-1]]!=m_id[m_order[k]]))
         m_group[m_groups++]=k;
   m_group[m_groups]=m_count;
   long times[],ids[];
   ArrayResize(times,m_groups);
   ArrayResize(ids,m_groups);
   for(int g=0; g<m_groups; g++)
     {
      int newest=m_order[m_group[g+1]-1];
      times[g]=(long)m_event[newest].time;
      ids[g]=m_id[newest];
     }
   MovuSortOrder(times,ids,m_groups,m_groupOrder);
   m_cached=false;
  }

//+------------------------------------------------------------------+
//| The newest line of a group observed at or before moment; -1 none. |
//+------------------------------------------------------------------+
int CMovuRecordedDay::Latest(const int group,const datetime moment) const
  {
   int lo=m_group[group],hi=m_group[group+1]-1,found=-1;
   while(lo<=hi)
     {
      int mid=(lo+hi)/2;
      if(m_observed[m_order[mid]]<=moment)
        {
         found=m_order[mid];
         lo=mid+1;
        }
      else
         hi=mid-1;
     }
   return(found);
  }

//+------------------------------------------------------------------+
//| Picks the events as of moment into m_answer, sorted by time then  |
//| id, and the span of moments over which that answer holds. Groups  |
//| are walked in the order of their events' times, so the sort       |
//| afterwards mostly finds one run.                                  |
//+------------------------------------------------------------------+
void CMovuRecordedDay::Pick(const datetime moment)
  {
   m_picked=0;
   ArrayResize(m_pick,m_groups);
   long times[],ids[];
   ArrayResize(times,m_groups);
   ArrayResize(ids,m_groups);
   for(int k=0; k<m_groups; k++)
     {
      int i=Latest(m_groupOrder[k],moment);
      if(i<0 || m_gone[i])
         continue;
      m_pick[m_picked]=i;
      times[m_picked]=(long)m_event[i].time;
      ids[m_picked]=m_id[i];
      m_picked++;
     }
   int order[];
   MovuSortOrder(times,ids,m_picked,order);
   ArrayResize(m_answer,m_picked);
   for(int k=0; k<m_picked; k++)
      m_answer[k]=m_event[m_pick[order[k]]];
//--- the same answer holds until the next line observed after moment
   int prev=Before(moment);
   m_from=(prev>=0 ? m_observed[m_byTime[prev]] : 0);
   m_until=(prev+1<m_count ? m_observed[m_byTime[prev+1]] : (datetime)LONG_MAX);
   m_cached=true;
  }

//+------------------------------------------------------------------+
//| The day as observed at or before moment: MOVU_DAY_KNOWN with the  |
//| newest observation of each event then, or MOVU_DAY_UNKNOWN (empty)|
//| when nothing had been observed yet or nothing was recorded. The   |
//| answer is kept: asked again for a moment with the same answer, it |
//| is copied out in order.                                           |
//+------------------------------------------------------------------+
int CMovuRecordedDay::AsOf(const datetime moment,MovuCalendarEvent &events[])
  {
   if(!recorded || m_count==0 || m_observed[m_byTime[0]]>moment)
     {
      ArrayResize(events,0);
      return(MOVU_DAY_UNKNOWN);
     }
   if(!m_cached || moment<m_from || moment>=m_until)
      Pick(moment);
   if(ArrayResize(events,m_picked)<0)
      return(MOVU_DAY_UNKNOWN);
   for(int k=0; k<m_picked; k++)
      events[k]=m_answer[k];
   return(MOVU_DAY_KNOWN);
  }

//+------------------------------------------------------------------+
//| The server's offset at a UTC moment from the offsets recorded     |
//| around it. Between two that differ the clock moved: the rule's    |
//| offset when it is one of them, else the larger (an earlier UTC    |
//| time, which can only show less). Beyond the recorded lines the    |
//| nearest holds, unless the rule agrees with it and moves between.  |
//| False: nothing recorded.                                          |
//+------------------------------------------------------------------+
bool CMovuRecordedDay::OffsetAt(const datetime utc,const int rule,const int fixed_offset,int &offset) const
  {
   if(m_count==0)
      return(false);
   int prev=Before(utc);
   int ruled=MovuRuleOffset(rule,fixed_offset,utc);
   if(prev>=0 && prev+1<m_count)
     {
      int a=m_offset[m_byTime[prev]],b=m_offset[m_byTime[prev+1]];
      offset=(a==b ? a : (ruled==a || ruled==b ? ruled : MathMax(a,b)));
      return(true);
     }
   int near=m_byTime[prev>=0 ? prev : 0];
   offset=m_offset[near];
   if(rule!=MOVU_CLOCK_RECORDED && MovuRuleOffset(rule,fixed_offset,m_observed[near])==offset)
      offset=ruled;
   return(true);
  }

//+------------------------------------------------------------------+
//| Position in m_byTime of the newest line observed at or before     |
//| moment; -1 when none.                                             |
//+------------------------------------------------------------------+
int CMovuRecordedDay::Before(const datetime moment) const
  {
   int lo=0,hi=m_count-1,found=-1;
   while(lo<=hi)
     {
      int mid=(lo+hi)/2;
      if(m_observed[m_byTime[mid]]<=moment)
        {
         found=mid;
         lo=mid+1;
        }
      else
         hi=mid-1;
     }
   return(found);
  }

//+------------------------------------------------------------------+
//| The distinct offsets recorded this day.                           |
//+------------------------------------------------------------------+
int CMovuRecordedDay::Offsets(int &list[]) const
  {
   int n=0;
   ArrayResize(list,0,4);
   for(int i=0; i<m_count; i++)
     {
      bool seen=false;
      for(int k=0; k<n && !seen; k++)
         seen=(list[k]==m_offset[i]);
      if(!seen)
        {
         ArrayResize(list,n+1,4);
         list[n++]=m_offset[i];
        }
     }
   return(n);
  }

//+------------------------------------------------------------------+
//| Reads the day's file: every sound line up to the first that is    |
//| not; the rest is refused with one journal line. False when there  |
//| is no file or its header is not this version's.                  |
//+------------------------------------------------------------------+
bool CMovuRecordedDay::Load(const int where,const string day,const bool for_writing)
  {
   Clear(day);
   m_keepLines=for_writing;
   if(where==MOVU_RECORD_OFF)
      return(false);
   string name=MovuRecordName(day);
   int h=FileOpen(name,FILE_READ|FILE_TXT|FILE_ANSI|FILE_SHARE_READ|MovuRecordFlags(where),0,CP_UTF8);
   if(h==INVALID_HANDLE)
     {
      problem="not recorded";
      return(false);
     }
   string header=(string)MOVU_RECORD_HEADER+"\t"+day;
   string first=(FileIsEnding(h) ? "" : FileReadString(h));
   if(first!=header+"\t"+MovuLineCheck(header))
     {
      FileClose(h);
      problem="not a recording of this version for "+day;
      Print("movu: ",name,": ",problem,"; not used");
      return(false);
     }
   recorded=true;
   int number=1,refused=0;
   string why="";
   while(!FileIsEnding(h))
     {
      string line=FileReadString(h);
      number++;
      if(refused>0)
        {
         refused++;
         continue;
        }
      if(line=="" && FileIsEnding(h))
         break;
      if(!ReadLine(line,why))
        {
         problem="line "+IntegerToString(number)+": "+why;
         refused=1;
        }
     }
   FileClose(h);
   if(refused>0)
      Print("movu: ",name,": ",problem,"; that line and the ",IntegerToString(refused-1),
            " after it are refused, the ",IntegerToString(m_count)," before it are used");
   Index();
   return(true);
  }

//+------------------------------------------------------------------+
//| Adds one observation of the whole day made at observed: a line    |
//| for each event that differs from what was known then, one for     |
//| each event gone since, none for what is the same. Returns the     |
//| number of lines added (0: nothing new).                           |
//+------------------------------------------------------------------+
int CMovuRecordedDay::Observe(const datetime observed,const int offset,const MovuCalendarEvent &events[])
  {
   int n=ArraySize(events);
   long ids[],seq[];
   ArrayResize(ids,n);
   ArrayResize(seq,n);
   for(int i=0; i<n; i++)
     {
      ids[i]=events[i].id;
      seq[i]=i;
     }
   int byId[];
   MovuSortOrder(ids,seq,n,byId);
   string prefix=IntegerToString((long)observed)+"\t"+IntegerToString(offset)+"\t";
   int added=0,g=0;
   MovuCalendarEvent none;
   ZeroMemory(none);
   none.id=-1;
//--- which events are new or changed (by id, against what was known then)
   bool write[];
   ArrayResize(write,n);
   ArrayInitialize(write,false);
   for(int k=0; k<=n; k++)
     {
      //--- the last of an id in the observation counts
      if(k<n && k+1<n && ids[byId[k+1]]==ids[byId[k]])
         continue;
      long id=(k<n ? ids[byId[k]] : LONG_MAX);
      bool known=false;
      //--- held ids below this one were not observed: gone, if they were there then
      while(g<m_groups && m_id[m_order[m_group[g]]]<=id)
        {
         long held=m_id[m_order[m_group[g]]];
         int last=Latest(g,observed);
         g++;
         if(held==id)
           {
            known=(last>=0 && !m_gone[last] && MovuSameEvent(m_event[last],events[byId[k]]));
            break;
           }
         if(last>=0 && !m_gone[last])
           {
            string text=prefix+IntegerToString(held)+"\t-";
            Add(observed,offset,held,true,none,text+"\t"+MovuLineCheck(text));
            added++;
           }
        }
      if(k<n && !known)
         write[byId[k]]=true;
     }
//--- in the observation's own order (by time, as answered), so a day reads back in order
   for(int i=0; i<n; i++)
      if(write[i])
        {
         string text=prefix+IntegerToString(events[i].id)+"\t"+MovuEventJson(events[i]);
         Add(observed,offset,events[i].id,false,events[i],text+"\t"+MovuLineCheck(text));
         added++;
        }
//--- nothing new: a line only when the day had not been seen by then or the clock moved
   int prev=(added==0 ? Before(observed) : -1);
   if(added==0 && (prev<0 || m_offset[m_byTime[prev]]!=offset))
     {
      string text=prefix+"-\t-";
      Add(observed,offset,-1,false,none,text+"\t"+MovuLineCheck(text));
      added++;
     }
   recorded=true;
   if(added>0)
      Index();
   return(added);
  }

//+------------------------------------------------------------------+
//| Writes the whole day to a temporary file, then moves it over the  |
//| day's file: a reader sees the old file or the new, never half.    |
//+------------------------------------------------------------------+
bool CMovuRecordedDay::Save(const int where)
  {
   if(where==MOVU_RECORD_OFF || StringLen(date)!=10 || !m_keepLines)
      return(false);
   string name=MovuRecordName(date);
   string temp=name+"."+IntegerToString((long)(GetMicrosecondCount()%1000000000))+".tmp";
   int flags=MovuRecordFlags(where);
   int h=FileOpen(temp,FILE_WRITE|FILE_TXT|FILE_ANSI|flags,0,CP_UTF8);
   if(h==INVALID_HANDLE)
      return(false);
   string header=(string)MOVU_RECORD_HEADER+"\t"+date;
   bool ok=(FileWriteString(h,header+"\t"+MovuLineCheck(header)+"\r\n")>0);
   for(int i=0; i<m_count && ok; i++)
      ok=(FileWriteString(h,m_line[i]+"\r\n")>0);
   FileFlush(h);
   FileClose(h);
   ok=ok && FileMove(temp,flags,name,FILE_REWRITE|flags);
   if(!ok)
      FileDelete(temp,flags);
   return(ok);
  }

//+------------------------------------------------------------------+
//| The writers' turn: a test-and-set on a terminal global variable,  |
//| so programs of one terminal never write a day at the same time.   |
//| A lock older than MOVU_RECORD_LOCK_STALE_MS (its holder died) is  |
//| taken over. False when the turn did not come in time.             |
//+------------------------------------------------------------------+
bool MovuRecordLock(double &stamp)
  {
   ulong start=GetTickCount64();
   if(!GlobalVariableCheck(MOVU_RECORD_LOCK))
      GlobalVariableTemp(MOVU_RECORD_LOCK);
   while(true)
     {
      ulong now=GetTickCount64();
      stamp=(double)now;
      if(GlobalVariableSetOnCondition(MOVU_RECORD_LOCK,stamp,0))
         return(true);
      double held=GlobalVariableGet(MOVU_RECORD_LOCK);
      if(held>0 && (double)now-held>MOVU_RECORD_LOCK_STALE_MS &&
         GlobalVariableSetOnCondition(MOVU_RECORD_LOCK,stamp,held))
         return(true);
      if(now-start>MOVU_RECORD_LOCK_WAIT_MS)
         return(false);
      if(!GlobalVariableCheck(MOVU_RECORD_LOCK))
         GlobalVariableTemp(MOVU_RECORD_LOCK);
      Sleep(5);
     }
   return(false);
  }

void MovuRecordUnlock(const double stamp)
  {
   GlobalVariableSetOnCondition(MOVU_RECORD_LOCK,0,stamp);
  }

//+------------------------------------------------------------------+
//| Live: stores one observation of a UTC day's events, made at       |
//| observed_utc while the server's offset from UTC was               |
//| server_offset. Under the writers' turn the day's file is read     |
//| again, so what another program stored meanwhile is kept.          |
//+------------------------------------------------------------------+
bool MovuRecordEvents(const int where,const string date,const datetime observed_utc,const int server_offset,
                      const MovuCalendarEvent &events[])
  {
   if(where==MOVU_RECORD_OFF || StringLen(date)!=10 || observed_utc<=0)
      return(false);
   double stamp=0;
   if(!MovuRecordLock(stamp))
     {
      Print("movu: another program holds the calendar recording; this observation of ",date," is not stored");
      return(false);
     }
   CMovuRecordedDay day;
   day.Load(where,date);
   bool ok=true;
   if(!day.recorded && day.problem!="not recorded")
     {
      //--- another version's file, or none of ours: not overwritten
      MovuRecordUnlock(stamp);
      return(false);
     }
   if(day.Observe(observed_utc,server_offset,events)>0)
      ok=day.Save(where);
   MovuRecordUnlock(stamp);
   return(ok);
  }

//+------------------------------------------------------------------+
//| Live: stores one observation of a day answer (JSON text).         |
//+------------------------------------------------------------------+
bool MovuRecordObservation(const int where,const string date,const datetime observed_utc,const int server_offset,
                           const string answer)
  {
   MovuCalendarEvent events[];
   string error;
   if(!MovuParseEvents(answer,events,error))
      return(false);
   return(MovuRecordEvents(where,date,observed_utc,server_offset,events));
  }

//+------------------------------------------------------------------+
//| CMovuReplay: recorded days in the Strategy Tester, as of the      |
//| moment. Each day's file is read once and then answered from       |
//| memory; MOVU_REPLAY_DAYS days are held at once, the least         |
//| recently used one gives way. A day never recorded is reported     |
//| once in the journal.                                              |
//+------------------------------------------------------------------+
class CMovuReplay
  {
private:
   int               m_where;
   int               m_rule;
   int               m_fixed;
   CMovuRecordedDay  m_days[MOVU_REPLAY_DAYS];
   ulong             m_used[MOVU_REPLAY_DAYS];
   ulong             m_clock;
   string            m_reported[];     // days reported as not recorded
   int               m_loads;

   int               Held(const string date,const bool asked);

public:
                     CMovuReplay(void) : m_where(MOVU_RECORD_COMMON),m_rule(MOVU_CLOCK_US_DST),m_fixed(7200),
                                         m_clock(0),m_loads(0) { ArrayInitialize(m_used,0); }
   void              Init(const int where,const int clock_rule,const int fixed_offset_seconds);
   datetime          ServerToUtc(const datetime server_time);
   int               ServerOffsetAt(const datetime utc);
   int               DayAsOf(const datetime day_utc,const datetime as_of_utc,MovuCalendarEvent &events[]);
   int               FileReads(void) const { return(m_loads); }
  };

//+------------------------------------------------------------------+
void CMovuReplay::Init(const int where,const int clock_rule,const int fixed_offset_seconds)
  {
   m_where=where;
   m_rule=clock_rule;
   m_fixed=fixed_offset_seconds;
   for(int i=0; i<MOVU_REPLAY_DAYS; i++)
     {
      m_days[i].Clear("");
      m_used[i]=0;
     }
   ArrayResize(m_reported,0);
   m_loads=0;
  }

//+------------------------------------------------------------------+
//| The slot holding a day, read from its file the first time. A day  |
//| asked for (not only looked at for its clock) and never recorded   |
//| is reported once.                                                 |
//+------------------------------------------------------------------+
int CMovuReplay::Held(const string date,const bool asked)
  {
   m_clock++;
   int slot=0;
   for(int i=0; i<MOVU_REPLAY_DAYS; i++)
     {
      if(m_used[i]>0 && m_days[i].date==date)
        {
         m_used[i]=m_clock;
         return(i);
        }
      if(m_used[i]<m_used[slot])
         slot=i;
     }
   m_loads++;
   if(!m_days[slot].Load(m_where,date,false) && m_days[slot].problem=="not recorded" && asked)
     {
      bool told=false;
      for(int r=ArraySize(m_reported)-1; r>=0 && !told; r--)
         told=(m_reported[r]==date);
      if(!told)
        {
         int n=ArraySize(m_reported);
         ArrayResize(m_reported,n+1,n+16);
         m_reported[n]=date;
         Print("movu: no recorded calendar for ",date,"; the day is unknown in this test");
        }
     }
   m_used[slot]=m_clock;
   return(slot);
  }

//+------------------------------------------------------------------+
//| The server's offset from UTC at a UTC moment: recorded that day,  |
//| else the clock rule.                                              |
//+------------------------------------------------------------------+
int CMovuReplay::ServerOffsetAt(const datetime utc)
  {
   int offset=0;
   if(m_where!=MOVU_RECORD_OFF && m_days[Held(MovuDate(utc),false)].OffsetAt(utc,m_rule,m_fixed,offset))
      return(offset);
   return(MovuRuleOffset(m_rule,m_fixed,utc));
  }

//+------------------------------------------------------------------+
//| Simulated server time to UTC: the UTC moment u whose offset       |
//| (ServerOffsetAt) maps it to server_time; the earliest when the    |
//| clock went back, and in the hour the clock skipped the one of the |
//| larger offset. An earlier UTC can show less, never more.          |
//+------------------------------------------------------------------+
datetime CMovuReplay::ServerToUtc(const datetime server_time)
  {
   int candidates[];
   int n=0;
   if(m_where!=MOVU_RECORD_OFF)
      n=m_days[Held(MovuDate(server_time-MovuRuleOffset(m_rule,m_fixed,server_time)),false)].Offsets(candidates);
   int extra[4];
   extra[0]=MovuRuleOffset(m_rule,m_fixed,server_time-2*3600);
   extra[1]=MovuRuleOffset(m_rule,m_fixed,server_time-3*3600);
   extra[2]=m_fixed;
   extra[3]=MovuRuleOffset(m_rule,m_fixed,server_time);
   ArrayResize(candidates,n+4);
   for(int k=0; k<4; k++)
      candidates[n+k]=extra[k];
   n+=4;
   datetime best=0;
   int largest=INT_MIN;
   for(int k=0; k<n; k++)
     {
      int offset=ServerOffsetAt(server_time-candidates[k]);
      if(offset==candidates[k] && (best==0 || server_time-offset<best))
         best=server_time-offset;
      if(offset>largest)
         largest=offset;
     }
   return(best!=0 ? best : server_time-largest);
  }

//+------------------------------------------------------------------+
//| The UTC day holding day_utc as observed at or before as_of_utc:   |
//| MOVU_DAY_KNOWN with its events sorted by time then id, or         |
//| MOVU_DAY_UNKNOWN with none (never recorded, or not yet observed). |
//+------------------------------------------------------------------+
int CMovuReplay::DayAsOf(const datetime day_utc,const datetime as_of_utc,MovuCalendarEvent &events[])
  {
   if(m_where==MOVU_RECORD_OFF)
     {
      ArrayResize(events,0);
      return(MOVU_DAY_UNKNOWN);
     }
   return(m_days[Held(MovuDate(day_utc),true)].AsOf(as_of_utc,events));
  }

#endif // MOVU_CALENDAR_MQH
//+------------------------------------------------------------------+
